// Builds TNEF streams field by field, as the format lays them out: for the tests, for fuzz seeds,
// for benchmarks and for the sample file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrox::testing {

using ByteVector = std::vector<std::uint8_t>;

// Attribute levels.
inline constexpr std::uint8_t kLevelMessage = 0x01;
inline constexpr std::uint8_t kLevelAttachment = 0x02;

// Attribute IDs (the low word of the attribute tag).
inline constexpr std::uint16_t kAttMessageClass = 0x8008;
inline constexpr std::uint16_t kAttBody = 0x800C;
inline constexpr std::uint16_t kAttMsgProps = 0x9003;
inline constexpr std::uint16_t kAttRecipTable = 0x9004;
inline constexpr std::uint16_t kAttSubject = 0x8004;
inline constexpr std::uint16_t kAttAttachData = 0x800F;
inline constexpr std::uint16_t kAttAttachTitle = 0x8010;
inline constexpr std::uint16_t kAttAttachRendData = 0x9002;
inline constexpr std::uint16_t kAttAttachment = 0x9005;
inline constexpr std::uint16_t kAttTnefVersion = 0x9006;
inline constexpr std::uint16_t kAttOemCodepage = 0x9007;

// Attribute types (the high word of the attribute tag).
inline constexpr std::uint16_t kAtpString = 0x0001;
inline constexpr std::uint16_t kAtpText = 0x0002;
inline constexpr std::uint16_t kAtpByte = 0x0006;
inline constexpr std::uint16_t kAtpWord = 0x0007;
inline constexpr std::uint16_t kAtpDword = 0x0008;

// MAPI property types and IDs.
inline constexpr std::uint16_t kPtLong = 0x0003;
inline constexpr std::uint16_t kPtString8 = 0x001E;
inline constexpr std::uint16_t kPtUnicode = 0x001F;
inline constexpr std::uint16_t kPtObject = 0x000D;
inline constexpr std::uint16_t kPtBinary = 0x0102;
inline constexpr std::uint16_t kPrDisplayName = 0x3001;
inline constexpr std::uint16_t kPrAttachData = 0x3701;  // PT_BINARY: the file; PT_OBJECT: an object
inline constexpr std::uint16_t kPrAttachExtension = 0x3703;
inline constexpr std::uint16_t kPrAttachFilename = 0x3704;
inline constexpr std::uint16_t kPrAttachMethod = 0x3705;
inline constexpr std::uint16_t kPrAttachLongFilename = 0x3707;
inline constexpr std::uint16_t kPrAttachMimeTag = 0x370E;

// Sizes for placing things at exact distances.
inline constexpr std::size_t kRecordHeadSize = 9;      // level (1), ID (2), type (2), length (4)
inline constexpr std::size_t kRecordChecksumSize = 2;  // after the value
// From the start of an attAttachment record to its first property: the record head, then the
// 4-byte property count.
inline constexpr std::size_t kPropertyBlockHeadSize = kRecordHeadSize + 4;
// From a counted property's tag to its value: type (2), ID (2), value count (4), value length (4).
inline constexpr std::size_t kPropertyHeadSize = 12;

// A property set as stored: 16 bytes, the first three fields little-endian.
using GuidBytes = std::array<std::uint8_t, 16>;

// Whether a text value carries its terminating NUL (counted in the length) or not.
enum class Nul { kWith, kWithout };

// The MAPI properties of one attachment, as attAttachment carries them: a 4-byte count, then per
// property its type and ID; a string or binary property goes on with a value count of 1, the value
// length and the value padded with zeros to a multiple of 4 bytes.
class MapiBlock {
 public:
  // PT_STRING8: the 8-bit text, with its NUL counted in the value length unless kWithout.
  MapiBlock& mapi_string8(std::uint16_t property_id, std::string_view text, Nul nul = Nul::kWith);
  // PT_UNICODE: the text as UTF-16LE, with its two-byte NUL counted unless kWithout.
  MapiBlock& mapi_unicode(std::uint16_t property_id, std::u16string_view text,
                          Nul nul = Nul::kWith);
  // Any counted property with any value-length field: `declared_length` is written as the value
  // length whatever `value` holds; `value` follows, padded to 4 bytes.
  MapiBlock& mapi_counted(std::uint16_t type, std::uint16_t property_id,
                          std::int32_t declared_length, std::span<const std::uint8_t> value);
  // PT_LONG: type, ID and the 4-byte value, with no count.
  MapiBlock& mapi_long(std::uint16_t property_id, std::uint32_t value);
  // Any fixed-size single value (PT_I2, PT_BOOLEAN, PT_SYSTIME, PT_CLSID, ...): its bytes, padded
  // to 4.
  MapiBlock& mapi_fixed(std::uint16_t type, std::uint16_t property_id,
                        std::span<const std::uint8_t> value);
  // PT_BINARY (or PT_OBJECT, with its interface id at the start of `value`), one value.
  MapiBlock& mapi_binary(std::uint16_t property_id, std::span<const std::uint8_t> value,
                         std::uint16_t type = kPtBinary);
  // A multi-valued property (`type` without the 0x1000 flag): the count, then each value as its
  // type stores it (counted types with their lengths), padded to 4.
  MapiBlock& mapi_multi(std::uint16_t type, std::uint16_t property_id,
                        std::span<const ByteVector> values);
  // Names the next property (whose ID must be 0x8000 or above) by a number or a string in the
  // set `guid`: the GUID, the kind and the name go between its ID and its value.
  MapiBlock& named(const GuidBytes& guid, std::uint32_t number);
  MapiBlock& named(const GuidBytes& guid, std::u16string_view name);

  std::uint32_t count() const { return count_; }
  // The properties alone, without the count in front.
  const ByteVector& properties() const { return properties_; }
  // The whole value of an attAttachment record: the count, then the properties.
  ByteVector block() const;

 private:
  // Type and ID, then the name that named() left for this property.
  void head(std::uint16_t type, std::uint16_t property_id);

  std::uint32_t count_ = 0;
  ByteVector properties_;
  std::optional<ByteVector> next_name_;
};

// A TNEF stream, appended to field by field. Every call returns the builder, so a stream reads
// top to bottom like the format.
class TnefBuilder {
 public:
  // The signature 78 9F 3E 22 and the 2-byte legacy key.
  TnefBuilder& signature(std::uint16_t key = 0x0001);

  // An attribute record: level, ID, type, the value's length, the value and its checksum (the
  // sum of the value bytes modulo 65536).
  TnefBuilder& record(std::uint8_t level, std::uint16_t id, std::uint16_t type,
                      std::span<const std::uint8_t> value);
  TnefBuilder& record(std::uint8_t level, std::uint16_t id, std::uint16_t type,
                      std::string_view value);
  // A record whose length field says `declared_length` while `value` is what actually follows,
  // with the checksum of those bytes after them.
  TnefBuilder& record_declaring(std::uint8_t level, std::uint16_t id, std::uint16_t type,
                                std::int32_t declared_length, std::span<const std::uint8_t> value);
  // Only the head of a record: level, ID, type and the length field, nothing after.
  TnefBuilder& record_head(std::uint8_t level, std::uint16_t id, std::uint16_t type,
                           std::int32_t declared_length);

  // attAttachData (level 2, atpByte): the attachment's bytes.
  TnefBuilder& attach_data(std::span<const std::uint8_t> data);
  TnefBuilder& attach_data(std::string_view data);
  // attAttachTitle (level 2, atpString): the title, with or without its NUL.
  TnefBuilder& attach_title(std::string_view text, Nul nul = Nul::kWith);
  // attAttachRendData (level 2, atpByte): the 14-byte rendering of a file attachment, which
  // opens each attachment's attributes.
  TnefBuilder& attach_rend_data();
  // attAttachment (level 2, atpByte): the attachment's MAPI properties.
  TnefBuilder& attachment_properties(const MapiBlock& block);
  // attMsgProps (level 1, atpByte): the message's MAPI properties.
  TnefBuilder& message_properties(const MapiBlock& block);
  // attRecipTable (level 1, atpByte): the row count, then each row's property list.
  TnefBuilder& recipient_table(std::span<const MapiBlock> rows);
  // attSubject (level 1, atpString) and attBody (level 1, atpText), each with its NUL.
  TnefBuilder& subject(std::string_view text);
  TnefBuilder& body(std::string_view text);

  // The message-level attributes that Outlook writes before the attachments.
  TnefBuilder& tnef_version();
  TnefBuilder& oem_codepage(std::uint32_t codepage = 1252);
  TnefBuilder& message_class(std::string_view message_class = "IPM.Microsoft Mail.Note");

  // `n` bytes of `byte` (none of the default's can start a pattern that the scan looks for).
  TnefBuilder& filler(std::size_t n, std::uint8_t byte = 0);
  // Filler up to the absolute position `position`, which must not lie behind offset().
  TnefBuilder& filler_to(std::size_t position, std::uint8_t byte = 0);
  TnefBuilder& raw(std::span<const std::uint8_t> bytes);
  TnefBuilder& raw(std::string_view bytes);
  // Overwrites 4 bytes at `position` with `value`, little-endian (a length field, say).
  TnefBuilder& patch_le32(std::size_t position, std::uint32_t value);

  // Where the next byte goes.
  std::size_t offset() const { return bytes_.size(); }
  const ByteVector& bytes() const { return bytes_; }

 private:
  ByteVector bytes_;
};

// Deterministic content that holds no 0x02, 0x1E or 0x1F byte, so no record or name pattern can
// appear in it by chance.
ByteVector pattern_free_bytes(std::size_t n, std::uint32_t seed = 1);

// One attachment of a whole message.
struct AttachmentSpec {
  std::string long_name;  // PT_STRING8 PR_ATTACH_LONG_FILENAME and PR_DISPLAY_NAME, unless empty
  ByteVector data;        // attAttachData
  std::string title{};    // attAttachTitle; empty: the long name
  std::u16string unicode_name{};  // when not empty, PT_UNICODE PR_ATTACH_LONG_FILENAME too
  std::string mime_tag{};         // when not empty, PT_STRING8 PR_ATTACH_MIME_TAG
};

// A whole TNEF stream as a mail client writes it: signature, message attributes, and per
// attachment its rendering, title, data and property block.
ByteVector tnef_message(std::span<const AttachmentSpec> attachments);

// A stream of `sizes.size()` attachments named "<stem><i>.<extension>" (i from 1) with
// pattern-free contents of the given sizes: for fuzz seeds and benchmarks.
ByteVector tnef_with_attachments(std::span<const std::size_t> sizes, std::string_view stem = "file",
                                 std::string_view extension = "bin");

// Writes `bytes` to `path`, creating or truncating it; false on any failure.
bool write_file(const std::string& path, std::span<const std::uint8_t> bytes);
// The whole file, or an empty vector when it cannot be read.
ByteVector read_file(const std::string& path);
// The same two for text.
bool write_text_file(const std::string& path, std::string_view text);
std::string read_text_file(const std::string& path);

// A fresh directory under the system's temporary directory, removed with everything in it at the
// end of its life.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // The directory's path, without a trailing '/'.
  const std::string& path() const { return path_; }
  // The path followed by '/' and `name`.
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

// Property sets of meetings, and IID_IMessage, which opens the PR_ATTACH_DATA_OBJ of an attached
// message.
inline constexpr GuidBytes kPsetidMeetingBytes = {0x90, 0xDA, 0xD8, 0x6E, 0x0B, 0x45, 0x1B, 0x10,
                                                  0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05};
inline constexpr GuidBytes kPsetidAppointmentBytes = {
    0x02, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr GuidBytes kIidIMessageBytes = {0x07, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// A FILETIME from a date and time of day, UTC.
std::uint64_t filetime(int year, int month, int day, int hour = 0, int minute = 0);
// Minutes since 1601 of a date's midnight, as a recurrence pattern counts them.
std::uint32_t pattern_minutes(int year, int month, int day);

// An ExceptionInfo of a recurrence pattern: times in local minutes since 1601.
struct RecurrenceExceptionSpec {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t original_start = 0;
  std::string subject;  // ARO_SUBJECT where not empty
};

// PidLidAppointmentRecur, field by field ([MS-OXOCAL] 2.2.1.44). The defaults: weekly on
// Mondays, never ending.
struct RecurrenceSpec {
  std::uint16_t frequency = 0x200B;
  std::uint16_t pattern_type = 0x0001;
  std::uint16_t calendar_type = 0;
  std::uint32_t period = 1;
  std::vector<std::uint32_t> pattern_specific = {0x02};
  std::uint32_t end_type = 0x2023;
  std::uint32_t occurrence_count = 10;
  std::uint32_t first_day_of_week = 0;
  std::vector<std::uint32_t> deleted;
  std::vector<std::uint32_t> modified;
  std::optional<std::uint32_t> declared_deleted;  // a count that lies
  std::uint32_t start_date = 0;
  std::uint32_t end_date = 0x5AE980DF;
  std::uint32_t start_time_offset = 720;
  std::uint32_t end_time_offset = 750;
  std::vector<RecurrenceExceptionSpec> exceptions;
  std::optional<std::uint16_t> declared_exceptions;  // a count that lies
};
ByteVector recurrence_pattern(const RecurrenceSpec& pattern);

// One rule of a time zone: biases in minutes, the two changes as SYSTEMTIME fields (year, month,
// day of week, day or week, hour, minute, second, milliseconds).
struct ZoneRuleSpec {
  std::uint16_t year = 0;
  std::int32_t bias = 0;
  std::int32_t standard_bias = 0;
  std::int32_t daylight_bias = -60;
  std::array<std::uint16_t, 8> standard_date{};
  std::array<std::uint16_t, 8> daylight_date{};
};
// PidLidTimeZoneStruct.
ByteVector time_zone_struct(const ZoneRuleSpec& rule);
// A TZDEFINITION with its key name and rules, as PidLidAppointmentTimeZoneDefinitionRecur holds.
ByteVector time_zone_definition(std::u16string_view key, std::span<const ZoneRuleSpec> rules);

// Outlook's text in the data record of an attached message, NUL included (89 bytes).
inline constexpr std::string_view kEmbeddedMessagePlaceholder{
    "This attachment is a MAPI 1.0 embedded message and is not supported by this mail system.", 89};

// A message that holds itself as an attached message, `depth` levels in all: every level but the
// last is the same message (subject "Nested", a text, one attachment whose data record holds the
// placeholder and whose PR_ATTACH_DATA_OBJ holds the next level); the last has only a subject and
// a text. Laid out from both ends at once, so that 10,000 levels cost what their bytes cost.
ByteVector nested_attached_messages(std::size_t depth);

}  // namespace kestrox::testing
