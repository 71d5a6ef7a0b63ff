// The two byte-pattern searches, on buffers that end right before an unreadable page.
#include "bytes/search.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/guarded_buffer.h"

namespace kestrox {
namespace {

using testing::GuardedBuffer;
using namespace std::string_view_literals;

constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Both searches over a guarded copy of `contents`, with the pattern given as text.
struct Searched {
  explicit Searched(std::string_view contents) : buffer(contents) {}

  std::size_t forward(std::size_t start, std::size_t length, std::string_view pattern,
                      std::size_t limit) const {
    return find_bytes(buffer.view(), start, length, bytes_of(pattern), limit);
  }
  std::size_t backward(std::size_t start, std::size_t length, std::string_view pattern,
                       std::size_t limit) const {
    return find_bytes_backward(buffer.view(), start, length, bytes_of(pattern), limit);
  }
  std::size_t end() const { return buffer.size(); }

  GuardedBuffer buffer;
};

// ---------------------------------------------------------------------------------------------
// Reference searches, written straight from the rules as plain loops.

bool pattern_at(std::span<const std::uint8_t> source, std::size_t p,
                std::span<const std::uint8_t> pattern) {
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (source[p + i] != pattern[i]) return false;
  }
  return true;
}

// True when the pattern placed at p would run past the buffer's end.
bool runs_past_end(std::size_t p, std::size_t m, std::size_t end) { return m > end || p > end - m; }

std::size_t reference_forward(std::span<const std::uint8_t> source, std::size_t start,
                              std::size_t length, std::span<const std::uint8_t> pattern,
                              std::size_t limit) {
  const std::size_t m = pattern.size();
  if (length <= m) return kNotFound;
  // Candidates start, start + 1, ... while p < start + length - m.
  for (std::size_t p = start; p - start < length - m; ++p) {
    if (p > limit) return kNotFound;
    if (runs_past_end(p, m, source.size())) return kNotFound;
    if (pattern_at(source, p, pattern)) return p;
  }
  return kNotFound;
}

std::size_t reference_backward(std::span<const std::uint8_t> source, std::size_t start,
                               std::size_t length, std::span<const std::uint8_t> pattern,
                               std::size_t limit) {
  const std::size_t m = pattern.size();
  const std::size_t end = source.size();
  if (length < m) return kNotFound;
  // Candidates start + k for k = length - m down to 0. Every candidate past the buffer's end is
  // passed over, so the walk may begin at the highest one that is not (a window of SIZE_MAX
  // bytes would take too long otherwise); a window starting past the end holds none.
  if (start > end) return kNotFound;
  std::size_t k = std::min(length - m, end - start);
  for (;;) {
    const std::size_t p = start + k;
    if (p <= limit && !runs_past_end(p, m, end) && pattern_at(source, p, pattern)) return p;
    if (k == 0) return kNotFound;
    --k;
  }
}

// ---------------------------------------------------------------------------------------------

TEST(Search, PatternAtWindowStartIsFoundByBoth) {
  const Searched s("xxABCyy");
  EXPECT_EQ(s.forward(2, 5, "ABC", s.end()), 2u);
  EXPECT_EQ(s.backward(2, 5, "ABC", s.end()), 2u);
  EXPECT_EQ(s.forward(0, 7, "xx", s.end()), 0u);
  EXPECT_EQ(s.backward(0, 3, "xx", s.end()), 0u);
}

TEST(Search, LastFittingPositionIsTestedOnlyBackward) {
  //                  0123456789
  const Searched s("....ABC...");
  // Window [1, 7): the pattern ends exactly at the window's end, at 7 - 3 = 4.
  EXPECT_EQ(s.forward(1, 6, "ABC", s.end()), kNotFound);
  EXPECT_EQ(s.backward(1, 6, "ABC", s.end()), 4u);
  // One byte longer and the occurrence is one before the last fitting position: both find it.
  EXPECT_EQ(s.forward(1, 7, "ABC", s.end()), 4u);
  EXPECT_EQ(s.backward(1, 7, "ABC", s.end()), 4u);
}

TEST(Search, WindowOfExactlyThePatternLength) {
  const Searched s("..ABC..");
  EXPECT_EQ(s.forward(2, 3, "ABC", s.end()), kNotFound);
  EXPECT_EQ(s.backward(2, 3, "ABC", s.end()), 2u);
  // The same holds at the very end of the buffer.
  const Searched tail("..ABC");
  EXPECT_EQ(tail.forward(2, 3, "ABC", tail.end()), kNotFound);
  EXPECT_EQ(tail.backward(2, 3, "ABC", tail.end()), 2u);
}

TEST(Search, WindowShorterThanPatternYieldsNone) {
  const Searched s("..ABC..");
  for (std::size_t length = 0; length < 3; ++length) {
    EXPECT_EQ(s.forward(2, length, "ABC", s.end()), kNotFound) << length;
    EXPECT_EQ(s.backward(2, length, "ABC", s.end()), kNotFound) << length;
  }
}

TEST(Search, TwoOccurrencesForwardTakesLowerBackwardHigher) {
  //                  0123456789012
  const Searched s("-AB--AB--AB-");
  EXPECT_EQ(s.forward(0, s.end(), "AB", s.end()), 1u);
  EXPECT_EQ(s.backward(0, s.end(), "AB", s.end()), 9u);
  EXPECT_EQ(s.forward(2, s.end() - 2, "AB", s.end()), 5u);
  EXPECT_EQ(s.backward(0, 8, "AB", s.end()), 5u);
}

TEST(Search, ForwardComparesTheLimitItselfAndNothingAfterIt) {
  //                  0123456789
  const Searched s("......AB..");
  EXPECT_EQ(s.forward(0, s.end(), "AB", 6), 6u);
  EXPECT_EQ(s.forward(0, s.end(), "AB", 5), kNotFound);
  EXPECT_EQ(s.forward(0, s.end(), "AB", 0), kNotFound);
  // The limit is a position, not a bound on the pattern's end: the pattern may run past it.
  EXPECT_EQ(s.forward(6, 4, "AB.", 6), 6u);
}

TEST(Search, ForwardStopsAtTheLimitBetweenOccurrences) {
  //                  0123456789
  const Searched s("AB...AB...");
  EXPECT_EQ(s.forward(1, 9, "AB", 4), kNotFound);
  EXPECT_EQ(s.forward(1, 9, "AB", 5), 5u);
}

TEST(Search, BackwardPassesOverOccurrencesAboveTheLimit) {
  //                  0123456789012
  const Searched s("AB..AB..AB..");
  EXPECT_EQ(s.backward(0, s.end(), "AB", s.end()), 8u);
  EXPECT_EQ(s.backward(0, s.end(), "AB", 7), 4u);
  EXPECT_EQ(s.backward(0, s.end(), "AB", 4), 4u);
  EXPECT_EQ(s.backward(0, s.end(), "AB", 3), 0u);
  EXPECT_EQ(s.backward(0, s.end(), "AB", 0), 0u);
  EXPECT_EQ(s.backward(1, s.end() - 1, "AB", 3), kNotFound);
}

TEST(Search, LimitBeforeTheWindowYieldsNone) {
  const Searched s("..AB..AB..");
  EXPECT_EQ(s.forward(2, 8, "AB", 1), kNotFound);
  EXPECT_EQ(s.backward(2, 8, "AB", 1), kNotFound);
  EXPECT_EQ(s.forward(6, 4, "AB", 5), kNotFound);
  EXPECT_EQ(s.backward(6, 4, "AB", 5), kNotFound);
}

TEST(Search, WindowRunningPastTheEndComparesOnlyInsideTheBuffer) {
  //                  01234567
  const Searched s("....ABCD");
  // An occurrence whose last byte is the buffer's last byte.
  EXPECT_EQ(s.forward(0, 100, "ABCD", s.end()), 4u);
  EXPECT_EQ(s.backward(0, 100, "ABCD", s.end()), 4u);
  EXPECT_EQ(s.forward(3, 100, "ABCD", kHuge), 4u);
  EXPECT_EQ(s.backward(3, 100, "ABCD", kHuge), 4u);
  // Cut short by the end: no match, and the guard page shows that nothing after it was read.
  EXPECT_EQ(s.forward(0, 100, "CDE", s.end()), kNotFound);
  EXPECT_EQ(s.backward(0, 100, "CDE", s.end()), kNotFound);
  EXPECT_EQ(s.forward(0, 100, "D\0"sv, s.end()), kNotFound);
}

TEST(Search, WindowStartingAtOrPastTheEndYieldsNone) {
  const Searched s("ABABAB");
  for (std::size_t start = s.end(); start < s.end() + 4; ++start) {
    for (std::size_t length :
         {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{64}, kHuge - start, kHuge}) {
      EXPECT_EQ(s.forward(start, length, "B", kHuge), kNotFound) << start << " " << length;
      EXPECT_EQ(s.backward(start, length, "B", kHuge), kNotFound) << start << " " << length;
    }
  }
}

TEST(Search, ZeroBytesInThePatternMustMatchToo) {
  // An attachment data record's header next to a near miss that differs in its zero byte.
  const std::string_view contents = "\x02\x0F\x80\x06\x01--\x02\x0F\x80\x06\x00--"sv;
  const Searched s(contents);
  const std::string_view record = "\x02\x0F\x80\x06\x00"sv;
  EXPECT_EQ(s.forward(0, s.end(), record, s.end()), 7u);
  EXPECT_EQ(s.backward(0, s.end(), record, s.end()), 7u);
  EXPECT_EQ(s.backward(0, 7, record, s.end()), kNotFound);
  // A pattern that begins with zero bytes.
  const Searched zeros("a\0b\0\0c\0\0\0"sv);
  EXPECT_EQ(zeros.forward(0, zeros.end(), "\0\0c"sv, zeros.end()), 3u);
  EXPECT_EQ(zeros.forward(0, zeros.end(), "\0\0"sv, zeros.end()), 3u);
  EXPECT_EQ(zeros.backward(0, zeros.end(), "\0\0"sv, zeros.end()), 7u);
  EXPECT_EQ(zeros.forward(0, zeros.end(), "\0\0\0\0"sv, kHuge), kNotFound);
  EXPECT_EQ(zeros.backward(0, zeros.end(), "\0\0\0\0"sv, kHuge), kNotFound);
}

TEST(Search, HugeWindowsAndLimitsDoNotOverflow) {
  //                  0123456789
  const Searched s("AB.....AB.");
  // The whole address range as a window.
  EXPECT_EQ(s.forward(0, kHuge, "AB", kHuge), 0u);
  EXPECT_EQ(s.backward(0, kHuge, "AB", kHuge), 7u);
  // Window start plus length wraps around.
  EXPECT_EQ(s.forward(1, kHuge, "AB", kHuge), 7u);
  EXPECT_EQ(s.forward(1, kHuge - 1, "AB", kHuge), 7u);
  EXPECT_EQ(s.backward(1, kHuge, "AB", kHuge), 7u);
  EXPECT_EQ(s.backward(1, kHuge - 1, "AB", kHuge), 7u);
  EXPECT_EQ(s.backward(8, kHuge, "AB", kHuge), kNotFound);
  // A start near the top of the range.
  EXPECT_EQ(s.forward(kHuge, kHuge, "AB", kHuge), kNotFound);
  EXPECT_EQ(s.backward(kHuge, kHuge, "AB", kHuge), kNotFound);
  EXPECT_EQ(s.forward(kHuge - 1, 10, "AB", kHuge), kNotFound);
  EXPECT_EQ(s.backward(kHuge - 1, 10, "AB", kHuge), kNotFound);
  EXPECT_EQ(s.backward(kHuge - 1, kHuge, "A", kHuge), kNotFound);
  // A huge window whose only candidate inside the buffer is its last fitting position.
  EXPECT_EQ(s.forward(8, kHuge, "B.", kHuge), 8u);
  EXPECT_EQ(s.backward(8, kHuge, "B.", kHuge), 8u);
  // The not-found value as a limit means no limit at all.
  EXPECT_EQ(s.forward(2, 8, "AB", kNotFound), 7u);
  // A huge limit with a window that wraps and a limit just past the candidate.
  EXPECT_EQ(s.backward(0, kHuge, "AB", 6), 0u);
  EXPECT_EQ(s.forward(0, kHuge, "AB.", 6), 0u);
}

TEST(Search, EmptyBufferAndLongPatterns) {
  const Searched empty("");
  EXPECT_EQ(empty.forward(0, 10, "A", kHuge), kNotFound);
  EXPECT_EQ(empty.backward(0, 10, "A", kHuge), kNotFound);
  EXPECT_EQ(empty.forward(0, kHuge, "A", kHuge), kNotFound);
  EXPECT_EQ(empty.backward(0, kHuge, "A", kHuge), kNotFound);
  // A pattern longer than the buffer.
  const Searched s("ABC");
  EXPECT_EQ(s.forward(0, 10, "ABCD", kHuge), kNotFound);
  EXPECT_EQ(s.backward(0, 10, "ABCD", kHuge), kNotFound);
  // A pattern exactly as long as the buffer.
  EXPECT_EQ(s.forward(0, 4, "ABC", kHuge), 0u);
  EXPECT_EQ(s.backward(0, 3, "ABC", kHuge), 0u);
}

TEST(Search, EmptyPatternFindsNothing) {
  const Searched s("ABC");
  EXPECT_EQ(s.forward(0, 3, "", kHuge), kNotFound);
  EXPECT_EQ(s.backward(0, 3, "", kHuge), kNotFound);
}

TEST(Search, LongPatternsAcrossLongBuffers) {
  // The lengths in use (5, 6, 33, 43), in buffers long enough for scans of many candidates at a
  // time, with decoys that share the pattern's first and last bytes.
  for (std::size_t m : {std::size_t{5}, std::size_t{6}, std::size_t{33}, std::size_t{43}}) {
    std::string pattern(m, 'p');
    pattern.front() = 'F';
    pattern.back() = 'L';
    std::string decoy = pattern;
    decoy[m / 2] = 'x';
    for (std::size_t size : {std::size_t{200}, std::size_t{4096}, std::size_t{5000}}) {
      std::string contents(size, '.');
      for (std::size_t at = 3; at + m < size; at += 41) contents.replace(at, m, decoy);
      const std::size_t first = size / 3;
      const std::size_t last = size - m;  // ends on the buffer's last byte
      contents.replace(first, m, pattern);
      contents.replace(last, m, pattern);
      const Searched s(contents);
      SCOPED_TRACE(::testing::Message() << "m=" << m << " size=" << size);
      EXPECT_EQ(s.forward(0, kHuge, pattern, kHuge), first);
      EXPECT_EQ(s.forward(first + 1, kHuge, pattern, kHuge), last);
      EXPECT_EQ(s.forward(first + 1, kHuge, pattern, last - 1), kNotFound);
      EXPECT_EQ(s.forward(first + 1, last - first - 1 + m, pattern, kHuge), kNotFound);
      EXPECT_EQ(s.forward(first + 1, last - first + m, pattern, kHuge), last);
      EXPECT_EQ(s.backward(0, kHuge, pattern, kHuge), last);
      EXPECT_EQ(s.backward(0, size, pattern, last - 1), first);
      EXPECT_EQ(s.backward(0, last - 1 + m, pattern, kHuge), first);
      EXPECT_EQ(s.backward(first + 1, kHuge, pattern, last - 1), kNotFound);
      EXPECT_EQ(s.backward(0, first + m - 1, pattern, kHuge), kNotFound);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Randomised cross-check against the reference loops.

struct RandomCase {
  std::vector<std::uint8_t> contents;
  std::vector<std::uint8_t> pattern;
  std::size_t start = 0;
  std::size_t length = 0;
  std::size_t limit = 0;
};

class CaseMaker {
 public:
  explicit CaseMaker(std::uint32_t seed) : random_(seed) {}

  std::size_t below(std::size_t bound) {  // 0 .. bound - 1
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
  }
  bool one_in(std::size_t n) { return below(n) == 0; }

  // A value near `typical` most of the time, sometimes one of the extremes.
  std::size_t position(std::size_t typical_bound) {
    switch (below(12)) {
      case 0:
        return kHuge;
      case 1:
        return kHuge - below(4);
      default:
        return below(typical_bound + 1);
    }
  }

  RandomCase make(std::size_t longest, std::size_t longest_pattern,
                  std::span<const std::uint8_t> alphabet) {
    RandomCase c;
    c.contents.resize(below(longest + 1));
    for (auto& byte : c.contents) byte = alphabet[below(alphabet.size())];
    const std::size_t m = 1 + below(longest_pattern);
    const std::size_t end = c.contents.size();
    if (m <= end && !one_in(4)) {
      // Most often a piece of the buffer itself, so that matches are common.
      const std::size_t at = below(end - m + 1);
      c.pattern.assign(c.contents.begin() + static_cast<std::ptrdiff_t>(at),
                       c.contents.begin() + static_cast<std::ptrdiff_t>(at + m));
    } else {
      c.pattern.resize(m);
      for (auto& byte : c.pattern) byte = alphabet[below(alphabet.size())];
    }
    c.start = position(end + 3);
    c.length = position(end + 8);
    if (c.start != kHuge && one_in(8)) c.length = kHuge - c.start;  // ends at the very top
    c.limit = position(end + 3);
    return c;
  }

 private:
  std::mt19937 random_;
};

void cross_check(const RandomCase& c, int index) {
  const GuardedBuffer buffer{std::span<const std::uint8_t>(c.contents)};
  const std::span<const std::uint8_t> source = buffer.view();
  const std::span<const std::uint8_t> pattern(c.pattern);
  const std::size_t forward = find_bytes(source, c.start, c.length, pattern, c.limit);
  const std::size_t backward = find_bytes_backward(source, c.start, c.length, pattern, c.limit);
  const std::size_t want_forward = reference_forward(source, c.start, c.length, pattern, c.limit);
  const std::size_t want_backward = reference_backward(source, c.start, c.length, pattern, c.limit);
  if (forward == want_forward && backward == want_backward) return;
  std::string shown;
  for (std::uint8_t byte : c.contents) shown += byte >= 0x20 && byte < 0x7F ? char(byte) : '~';
  std::string shown_pattern;
  for (std::uint8_t byte : c.pattern) {
    shown_pattern += byte >= 0x20 && byte < 0x7F ? char(byte) : '~';
  }
  ADD_FAILURE() << "case " << index << ": buffer \"" << shown << "\" (" << c.contents.size()
                << " bytes), pattern \"" << shown_pattern << "\", start " << c.start << ", length "
                << c.length << ", limit " << c.limit << "\n  forward " << forward << " want "
                << want_forward << "\n  backward " << backward << " want " << want_backward;
}

TEST(SearchCrossCheck, SmallBuffersFromFewLetters) {
  static constexpr std::uint8_t kTwoLetters[] = {'a', 'b'};
  static constexpr std::uint8_t kWithZero[] = {'a', 0x00, 'b'};
  CaseMaker maker(20240607);
  for (int i = 0; i < 4000; ++i) {
    const RandomCase c = maker.make(24, 6,
                                    i % 2 == 0 ? std::span<const std::uint8_t>(kTwoLetters)
                                               : std::span<const std::uint8_t>(kWithZero));
    cross_check(c, i);
    if (::testing::Test::HasFailure()) break;
  }
}

TEST(SearchCrossCheck, LongBuffersWhereManyCandidatesAreScannedAtOnce) {
  // Mostly one letter, so that the first and last bytes of a long pattern often line up while
  // the whole pattern does not.
  static constexpr std::uint8_t kMostlyA[] = {'a', 'a', 'a', 'a', 'a', 'a', 'a', 'b'};
  static constexpr std::uint8_t kTwoLetters[] = {'a', 'b'};
  CaseMaker maker(77);
  for (int i = 0; i < 600; ++i) {
    const RandomCase c = maker.make(700, 44,
                                    i % 2 == 0 ? std::span<const std::uint8_t>(kMostlyA)
                                               : std::span<const std::uint8_t>(kTwoLetters));
    cross_check(c, i);
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
}  // namespace kestrox
