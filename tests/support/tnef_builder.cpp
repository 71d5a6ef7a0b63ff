// The TNEF builder of the tests, and the file helpers that go with it.
#include "support/tnef_builder.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace kestrox::testing {

namespace {

void put_le16(ByteVector& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put_le32(ByteVector& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
  }
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::uint16_t checksum(std::span<const std::uint8_t> value) {
  std::uint32_t sum = 0;
  for (std::uint8_t byte : value) sum += byte;
  return static_cast<std::uint16_t>(sum & 0xFFFF);
}

}  // namespace

MapiBlock& MapiBlock::mapi_string8(std::uint16_t property_id, std::string_view text, Nul nul) {
  ByteVector value(text.begin(), text.end());
  if (nul == Nul::kWith) value.push_back(0);
  return mapi_counted(kPtString8, property_id, static_cast<std::int32_t>(value.size()), value);
}

MapiBlock& MapiBlock::mapi_unicode(std::uint16_t property_id, std::u16string_view text, Nul nul) {
  ByteVector value;
  for (char16_t unit : text) put_le16(value, static_cast<std::uint16_t>(unit));
  if (nul == Nul::kWith) put_le16(value, 0);
  return mapi_counted(kPtUnicode, property_id, static_cast<std::int32_t>(value.size()), value);
}

MapiBlock& MapiBlock::mapi_counted(std::uint16_t type, std::uint16_t property_id,
                                   std::int32_t declared_length,
                                   std::span<const std::uint8_t> value) {
  head(type, property_id);
  put_le32(properties_, 1);                                            // value count
  put_le32(properties_, static_cast<std::uint32_t>(declared_length));  // value length
  properties_.insert(properties_.end(), value.begin(), value.end());
  while (properties_.size() % 4 != 0) properties_.push_back(0);  // padding
  ++count_;
  return *this;
}

MapiBlock& MapiBlock::mapi_long(std::uint16_t property_id, std::uint32_t value) {
  head(kPtLong, property_id);
  put_le32(properties_, value);
  ++count_;
  return *this;
}

MapiBlock& MapiBlock::mapi_fixed(std::uint16_t type, std::uint16_t property_id,
                                 std::span<const std::uint8_t> value) {
  head(type, property_id);
  properties_.insert(properties_.end(), value.begin(), value.end());
  while (properties_.size() % 4 != 0) properties_.push_back(0);  // padding
  ++count_;
  return *this;
}

MapiBlock& MapiBlock::mapi_binary(std::uint16_t property_id, std::span<const std::uint8_t> value,
                                  std::uint16_t type) {
  return mapi_counted(type, property_id, static_cast<std::int32_t>(value.size()), value);
}

MapiBlock& MapiBlock::mapi_multi(std::uint16_t type, std::uint16_t property_id,
                                 std::span<const ByteVector> values) {
  const bool counted =
      type == kPtString8 || type == kPtUnicode || type == kPtBinary || type == kPtObject;
  head(static_cast<std::uint16_t>(type | 0x1000), property_id);
  put_le32(properties_, static_cast<std::uint32_t>(values.size()));  // value count
  for (const ByteVector& value : values) {
    if (counted) put_le32(properties_, static_cast<std::uint32_t>(value.size()));  // value length
    properties_.insert(properties_.end(), value.begin(), value.end());
    while (properties_.size() % 4 != 0) properties_.push_back(0);  // padding
  }
  ++count_;
  return *this;
}

MapiBlock& MapiBlock::named(const GuidBytes& guid, std::uint32_t number) {
  ByteVector name(guid.begin(), guid.end());  // property set
  put_le32(name, 0);                          // kind: a number
  put_le32(name, number);
  next_name_ = std::move(name);
  return *this;
}

MapiBlock& MapiBlock::named(const GuidBytes& guid, std::u16string_view text) {
  ByteVector name(guid.begin(), guid.end());                        // property set
  put_le32(name, 1);                                                // kind: a string
  put_le32(name, static_cast<std::uint32_t>(2 * text.size() + 2));  // length, NUL included
  for (char16_t unit : text) put_le16(name, static_cast<std::uint16_t>(unit));
  put_le16(name, 0);
  while (name.size() % 4 != 0) name.push_back(0);  // padding
  next_name_ = std::move(name);
  return *this;
}

void MapiBlock::head(std::uint16_t type, std::uint16_t property_id) {
  put_le16(properties_, type);         // property type
  put_le16(properties_, property_id);  // property ID
  if (next_name_) {
    properties_.insert(properties_.end(), next_name_->begin(), next_name_->end());
    next_name_.reset();
  }
}

ByteVector MapiBlock::block() const {
  ByteVector out(4 + properties_.size());
  for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(count_ >> (8 * i));
  std::copy(properties_.begin(), properties_.end(), out.begin() + 4);
  return out;
}

TnefBuilder& TnefBuilder::signature(std::uint16_t key) {
  put_le32(bytes_, 0x223E9F78);  // TNEF signature
  put_le16(bytes_, key);         // legacy key
  return *this;
}

TnefBuilder& TnefBuilder::record(std::uint8_t level, std::uint16_t id, std::uint16_t type,
                                 std::span<const std::uint8_t> value) {
  return record_declaring(level, id, type, static_cast<std::int32_t>(value.size()), value);
}

TnefBuilder& TnefBuilder::record(std::uint8_t level, std::uint16_t id, std::uint16_t type,
                                 std::string_view value) {
  return record(level, id, type, bytes_of(value));
}

TnefBuilder& TnefBuilder::record_declaring(std::uint8_t level, std::uint16_t id, std::uint16_t type,
                                           std::int32_t declared_length,
                                           std::span<const std::uint8_t> value) {
  record_head(level, id, type, declared_length);
  bytes_.insert(bytes_.end(), value.begin(), value.end());  // value
  put_le16(bytes_, checksum(value));                        // checksum
  return *this;
}

TnefBuilder& TnefBuilder::record_head(std::uint8_t level, std::uint16_t id, std::uint16_t type,
                                      std::int32_t declared_length) {
  bytes_.push_back(level);                                        // level
  put_le16(bytes_, id);                                           // attribute ID
  put_le16(bytes_, type);                                         // attribute type
  put_le32(bytes_, static_cast<std::uint32_t>(declared_length));  // length
  return *this;
}

TnefBuilder& TnefBuilder::attach_data(std::span<const std::uint8_t> data) {
  return record(kLevelAttachment, kAttAttachData, kAtpByte, data);
}

TnefBuilder& TnefBuilder::attach_data(std::string_view data) { return attach_data(bytes_of(data)); }

TnefBuilder& TnefBuilder::attach_title(std::string_view text, Nul nul) {
  ByteVector value(text.begin(), text.end());
  if (nul == Nul::kWith) value.push_back(0);
  return record(kLevelAttachment, kAttAttachTitle, kAtpString, value);
}

TnefBuilder& TnefBuilder::attach_rend_data() {
  ByteVector value;
  put_le16(value, 1);           // attachment type: a file
  put_le32(value, 0xFFFFFFFF);  // position in the body: none
  put_le16(value, 0);           // width of the rendering
  put_le16(value, 0);           // height of the rendering
  put_le32(value, 0);           // flags
  return record(kLevelAttachment, kAttAttachRendData, kAtpByte, value);
}

TnefBuilder& TnefBuilder::attachment_properties(const MapiBlock& block) {
  return record(kLevelAttachment, kAttAttachment, kAtpByte, block.block());
}

TnefBuilder& TnefBuilder::message_properties(const MapiBlock& block) {
  return record(kLevelMessage, kAttMsgProps, kAtpByte, block.block());
}

TnefBuilder& TnefBuilder::recipient_table(std::span<const MapiBlock> rows) {
  ByteVector value;
  put_le32(value, static_cast<std::uint32_t>(rows.size()));  // row count
  for (const MapiBlock& row : rows) {
    const ByteVector list = row.block();
    value.insert(value.end(), list.begin(), list.end());
  }
  return record(kLevelMessage, kAttRecipTable, kAtpByte, value);
}

TnefBuilder& TnefBuilder::subject(std::string_view text) {
  ByteVector value(text.begin(), text.end());
  value.push_back(0);
  return record(kLevelMessage, kAttSubject, kAtpString, value);
}

TnefBuilder& TnefBuilder::body(std::string_view text) {
  ByteVector value(text.begin(), text.end());
  value.push_back(0);
  return record(kLevelMessage, kAttBody, kAtpText, value);
}

TnefBuilder& TnefBuilder::tnef_version() {
  ByteVector value;
  put_le32(value, 0x00010000);
  return record(kLevelMessage, kAttTnefVersion, kAtpDword, value);
}

TnefBuilder& TnefBuilder::oem_codepage(std::uint32_t codepage) {
  ByteVector value;
  put_le32(value, codepage);  // primary code page
  put_le32(value, 0);         // secondary code page
  return record(kLevelMessage, kAttOemCodepage, kAtpByte, value);
}

TnefBuilder& TnefBuilder::message_class(std::string_view message_class) {
  ByteVector value(message_class.begin(), message_class.end());
  value.push_back(0);
  return record(kLevelMessage, kAttMessageClass, kAtpWord, value);
}

TnefBuilder& TnefBuilder::filler(std::size_t n, std::uint8_t byte) {
  bytes_.insert(bytes_.end(), n, byte);
  return *this;
}

TnefBuilder& TnefBuilder::filler_to(std::size_t position, std::uint8_t byte) {
  if (position < bytes_.size()) throw std::logic_error("filler_to: position already passed");
  return filler(position - bytes_.size(), byte);
}

TnefBuilder& TnefBuilder::raw(std::span<const std::uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

TnefBuilder& TnefBuilder::raw(std::string_view bytes) { return raw(bytes_of(bytes)); }

TnefBuilder& TnefBuilder::patch_le32(std::size_t position, std::uint32_t value) {
  if (position > bytes_.size() || bytes_.size() - position < 4) {
    throw std::logic_error("patch_le32: position outside the stream");
  }
  for (int i = 0; i < 4; ++i) {
    bytes_[position + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return *this;
}

ByteVector pattern_free_bytes(std::size_t n, std::uint32_t seed) {
  ByteVector out(n);
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::uint8_t& byte : out) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    std::uint8_t value = static_cast<std::uint8_t>(state >> 24);
    if (value == 0x02 || value == 0x1E || value == 0x1F)
      value = static_cast<std::uint8_t>(value + 0x40);
    byte = value;
  }
  return out;
}

ByteVector tnef_message(std::span<const AttachmentSpec> attachments) {
  TnefBuilder tnef;
  tnef.signature().tnef_version().oem_codepage().message_class();
  for (const AttachmentSpec& attachment : attachments) {
    MapiBlock properties;
    if (!attachment.long_name.empty()) {
      properties.mapi_string8(kPrAttachLongFilename, attachment.long_name)
          .mapi_string8(kPrDisplayName, attachment.long_name);
    }
    properties.mapi_long(kPrAttachMethod, 1);  // by value
    if (!attachment.unicode_name.empty()) {
      properties.mapi_unicode(kPrAttachLongFilename, attachment.unicode_name);
    }
    if (!attachment.mime_tag.empty())
      properties.mapi_string8(kPrAttachMimeTag, attachment.mime_tag);
    tnef.attach_rend_data()
        .attach_title(attachment.title.empty() ? attachment.long_name : attachment.title)
        .attach_data(attachment.data)
        .attachment_properties(properties);
  }
  return tnef.bytes();
}

ByteVector tnef_with_attachments(std::span<const std::size_t> sizes, std::string_view stem,
                                 std::string_view extension) {
  std::vector<AttachmentSpec> attachments;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    AttachmentSpec attachment;
    attachment.long_name = std::string(stem) + std::to_string(i + 1) + "." + std::string(extension);
    attachment.data = pattern_free_bytes(sizes[i], static_cast<std::uint32_t>(i + 1));
    attachments.push_back(std::move(attachment));
  }
  return tnef_message(attachments);
}

bool write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

ByteVector read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return ByteVector(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_text_file(const std::string& path, std::string_view text) {
  return write_file(path,
                    std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string read_text_file(const std::string& path) {
  const ByteVector bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

ScratchDirectory::ScratchDirectory() {
  // A name nobody else holds: create_directory fails on one that exists already.
  static std::random_device entropy;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = base / ("kestrox-" + std::to_string(entropy()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      // The canonical form is what the working directory reads back as, inside it.
      path_ = std::filesystem::canonical(candidate).string();
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch directory");
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDirectory::operator/(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

namespace {

// Days from 1601-01-01 to a date of the Gregorian calendar.
std::int64_t days_since_1601(int year, int month, int day) {
  std::int64_t days = 0;
  for (int y = 1601; y < year; ++y)
    days += (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 366 : 365;
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int m = 1; m < month; ++m) {
    days += kDays[m - 1];
    if (m == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) ++days;
  }
  return days + day - 1;
}

}  // namespace

std::uint64_t filetime(int year, int month, int day, int hour, int minute) {
  const std::int64_t minutes = days_since_1601(year, month, day) * 1440 + hour * 60 + minute;
  return static_cast<std::uint64_t>(minutes) * 600'000'000ull;
}

std::uint32_t pattern_minutes(int year, int month, int day) {
  return static_cast<std::uint32_t>(days_since_1601(year, month, day) * 1440);
}

ByteVector recurrence_pattern(const RecurrenceSpec& pattern) {
  ByteVector out;
  put_le16(out, 0x3004);                                                      // ReaderVersion
  put_le16(out, 0x3004);                                                      // WriterVersion
  put_le16(out, pattern.frequency);                                           // RecurFrequency
  put_le16(out, pattern.pattern_type);                                        // PatternType
  put_le16(out, pattern.calendar_type);                                       // CalendarType
  put_le32(out, 0);                                                           // FirstDateTime
  put_le32(out, pattern.period);                                              // Period
  put_le32(out, 0);                                                           // SlidingFlag
  for (std::uint32_t field : pattern.pattern_specific) put_le32(out, field);  // PatternTypeSpecific
  put_le32(out, pattern.end_type);                                            // EndType
  put_le32(out, pattern.occurrence_count);                                    // OccurrenceCount
  put_le32(out, pattern.first_day_of_week);                                   // FirstDOW
  put_le32(out,
           pattern.declared_deleted.value_or(static_cast<std::uint32_t>(pattern.deleted.size())));
  for (std::uint32_t date : pattern.deleted) put_le32(out, date);  // DeletedInstanceDates
  put_le32(out, static_cast<std::uint32_t>(pattern.modified.size()));
  for (std::uint32_t date : pattern.modified) put_le32(out, date);  // ModifiedInstanceDates
  put_le32(out, pattern.start_date);                                // StartDate
  put_le32(out, pattern.end_date);                                  // EndDate
  put_le32(out, 0x3006);                                            // ReaderVersion2
  put_le32(out, 0x3009);                                            // WriterVersion2
  put_le32(out, pattern.start_time_offset);                         // StartTimeOffset
  put_le32(out, pattern.end_time_offset);                           // EndTimeOffset
  put_le16(out, pattern.declared_exceptions.value_or(
                    static_cast<std::uint16_t>(pattern.exceptions.size())));  // ExceptionCount
  for (const RecurrenceExceptionSpec& exception : pattern.exceptions) {
    put_le32(out, exception.start);                         // StartDateTime
    put_le32(out, exception.end);                           // EndDateTime
    put_le32(out, exception.original_start);                // OriginalStartDate
    put_le16(out, exception.subject.empty() ? 0 : 0x0001);  // OverrideFlags
    if (!exception.subject.empty()) {
      put_le16(out, static_cast<std::uint16_t>(exception.subject.size() + 1));  // SubjectLength
      put_le16(out, static_cast<std::uint16_t>(exception.subject.size()));      // SubjectLength2
      out.insert(out.end(), exception.subject.begin(), exception.subject.end());
    }
  }
  put_le32(out, 0);  // ReservedBlock1Size
  put_le32(out, 0);  // ReservedBlock2Size
  return out;
}

namespace {

void put_zone_rule(ByteVector& out, const ZoneRuleSpec& rule) {
  put_le32(out, static_cast<std::uint32_t>(rule.bias));           // lBias
  put_le32(out, static_cast<std::uint32_t>(rule.standard_bias));  // lStandardBias
  put_le32(out, static_cast<std::uint32_t>(rule.daylight_bias));  // lDaylightBias
}

void put_system_time(ByteVector& out, const std::array<std::uint16_t, 8>& fields) {
  for (std::uint16_t field : fields) put_le16(out, field);
}

}  // namespace

ByteVector time_zone_struct(const ZoneRuleSpec& rule) {
  ByteVector out;
  put_zone_rule(out, rule);
  put_le16(out, 0);                          // wStandardYear
  put_system_time(out, rule.standard_date);  // stStandardDate
  put_le16(out, 0);                          // wDaylightYear
  put_system_time(out, rule.daylight_date);  // stDaylightDate
  return out;
}

ByteVector time_zone_definition(std::u16string_view key, std::span<const ZoneRuleSpec> rules) {
  ByteVector out;
  out.push_back(0x02);                                                        // bMajorVersion
  out.push_back(0x01);                                                        // bMinorVersion
  put_le16(out, static_cast<std::uint16_t>(6 + 2 * key.size()));              // cbHeader
  put_le16(out, 0x0002);                                                      // wReserved
  put_le16(out, static_cast<std::uint16_t>(key.size()));                      // cchKeyName
  for (char16_t unit : key) put_le16(out, static_cast<std::uint16_t>(unit));  // KeyName
  put_le16(out, static_cast<std::uint16_t>(rules.size()));                    // cRules
  for (const ZoneRuleSpec& rule : rules) {
    out.push_back(0x02);           // bMajorVersion
    out.push_back(0x01);           // bMinorVersion
    put_le16(out, 0x003E);         // wReserved
    put_le16(out, 0);              // wTZRuleFlags
    put_le16(out, rule.year);      // wYear
    out.insert(out.end(), 14, 0);  // X
    put_zone_rule(out, rule);
    put_system_time(out, rule.standard_date);  // stStandardDate
    put_system_time(out, rule.daylight_date);  // stDaylightDate
  }
  return out;
}

ByteVector nested_attached_messages(std::size_t depth) {
  TnefBuilder innermost;
  innermost.signature().message_class("IPM.Note").subject("Innermost").body("The last level.");
  if (depth <= 1) return innermost.bytes();
  // Every outer level up to its attAttachment record.
  TnefBuilder lead;
  lead.signature().message_class("IPM.Note").subject("Nested").body("One level.");
  lead.attach_rend_data()
      .attach_title("Untitled Attachment")
      .attach_data(kEmbeddedMessagePlaceholder);
  constexpr std::size_t kMethodSize = 8;       // type, id, the value 5
  constexpr std::size_t kObjectHeadSize = 12;  // type, id, value count, value length
  auto padding = [](std::size_t n) { return (4 - n % 4) % 4; };
  // Each level's size from the innermost out.
  std::vector<std::size_t> sizes(depth);
  sizes[depth - 1] = innermost.offset();
  for (std::size_t k = depth - 1; k-- > 0;) {
    const std::size_t object = kIidIMessageBytes.size() + sizes[k + 1];
    const std::size_t list = 4 + kMethodSize + kObjectHeadSize + object + padding(object);
    sizes[k] = lead.offset() + kRecordHeadSize + list + kRecordChecksumSize;
  }
  ByteVector out;
  out.reserve(sizes[0]);
  for (std::size_t k = 0; k + 1 < depth; ++k) {
    const std::size_t object = kIidIMessageBytes.size() + sizes[k + 1];
    const std::size_t list = 4 + kMethodSize + kObjectHeadSize + object + padding(object);
    out.insert(out.end(), lead.bytes().begin(), lead.bytes().end());
    out.push_back(kLevelAttachment);                  // level
    put_le16(out, kAttAttachment);                    // attribute ID
    put_le16(out, kAtpByte);                          // attribute type
    put_le32(out, static_cast<std::uint32_t>(list));  // length
    put_le32(out, 2);                                 // property count
    put_le16(out, kPtLong);                           // PR_ATTACH_METHOD
    put_le16(out, kPrAttachMethod);
    put_le32(out, 5);          // an attached message
    put_le16(out, kPtObject);  // PR_ATTACH_DATA_OBJ
    put_le16(out, kPrAttachData);
    put_le32(out, 1);                                   // value count
    put_le32(out, static_cast<std::uint32_t>(object));  // value length
    out.insert(out.end(), kIidIMessageBytes.begin(), kIidIMessageBytes.end());
  }
  out.insert(out.end(), innermost.bytes().begin(), innermost.bytes().end());
  for (std::size_t k = depth - 1; k-- > 0;) {
    out.insert(out.end(), padding(kIidIMessageBytes.size() + sizes[k + 1]), 0);  // padding
    put_le16(out, 0);  // checksum, which readers do not hold a stream to
  }
  return out;
}

}  // namespace kestrox::testing
