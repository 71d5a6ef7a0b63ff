// A TNEF stream read as the list of attributes it is, with the MAPI property lists they carry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrox {

using Bytes = std::span<const std::uint8_t>;

// A GUID as it is stored: 16 bytes, the first three fields little-endian.
using Guid = std::array<std::uint8_t, 16>;

// One attribute record: its level (1 the message, 2 an attachment), its id (the attribute in the
// low half, its type in the high half) and its value, a view into the stream.
struct Attribute {
  std::uint8_t level = 0;
  std::uint32_t id = 0;
  Bytes value;
  std::size_t offset = 0;  // of the record's level byte, from the start of the stream
};

// Where a property with an id from 0x8000 is named: its property set and a number or a string.
struct PropertyName {
  Guid guid{};
  bool is_string = false;
  std::uint32_t number = 0;  // when !is_string
  std::string text;          // when is_string: the name as UTF-8
};

// One MAPI property. Its values are views into the stream: a fixed-size value is its bytes
// without the padding (2 for PT_I2 and PT_BOOLEAN, 4, 8, 16 for PT_CLSID); a variable one
// (PT_STRING8, PT_UNICODE, PT_BINARY, PT_OBJECT) its stored length, padding left out. A single
// value property has one value, a multi-valued one (type | 0x1000) as many as it holds.
struct Property {
  std::uint16_t type = 0;  // with the multi-value flag where it is set
  std::uint16_t id = 0;
  std::optional<PropertyName> name;  // ids from 0x8000 only
  std::vector<Bytes> values;

  bool multi_valued() const { return (type & 0x1000) != 0; }
  std::uint16_t base_type() const { return static_cast<std::uint16_t>(type & ~0x1000); }
};

// A property list as attMsgProps, attAttachment and each row of attRecipTable hold it.
struct PropertyList {
  std::vector<Property> properties;
  // False when reading stopped at a property that did not fit: what came before it is here.
  bool complete = true;

  // The first property with this id whose id is below 0x8000 (named properties are found by
  // their name), or nullptr.
  const Property* find(std::uint16_t id) const;
  // The named property of the set `guid` with the number `number`, or nullptr.
  const Property* find_named(const Guid& guid, std::uint32_t number) const;
  // The named property of the set `guid` with the string name `text`, or nullptr.
  const Property* find_named(const Guid& guid, std::string_view text) const;
};

// One attachment: the level-2 records from its attAttachRendData (or from the first level-2
// record) up to the next attAttachRendData.
struct TnefAttachment {
  std::vector<Attribute> attributes;
  // The values of its attAttachment, which follows its attAttachData before the next
  // attAttachRendData (empty when it has none).
  PropertyList properties;

  // The attribute with this id, or nullptr. Here and everywhere in the reader an attribute is
  // known by the low half of its id: some writers leave the type in the high half 0.
  const Attribute* find(std::uint32_t id) const;
  // attAttachData's record, if it has one.
  const Attribute* data() const;
};

// The whole stream.
struct TnefMessage {
  std::vector<Attribute> attributes;     // level 1, in order
  PropertyList properties;               // attMsgProps (the last one, where a stream has more)
  std::vector<PropertyList> recipients;  // the rows of attRecipTable
  std::vector<TnefAttachment> attachments;
  // The code page of its 8-bit text: the first attOemCodepage, else Windows-1252.
  std::uint32_t code_page = 1252;
  // False when reading stopped at a record that did not fit in the bytes left.
  bool complete = true;

  // The level-1 attribute with this id, or nullptr.
  const Attribute* find(std::uint32_t id) const;
};

// Reads the stream at the start of `stream` (78 9F 3E 22, a 2-byte key, then the records), or
// nothing when it does not start with the signature. Reading stops at the first record or
// property that does not fit in the bytes left; what was read before is kept. Nothing is copied
// out of the stream: every value is a view into it, so `stream` must outlive the result.
std::optional<TnefMessage> read_tnef(Bytes stream);

// A property list from its bytes: a 4-byte count, then the properties.
PropertyList read_property_list(Bytes list);

// The values of a property, or nothing where it is absent, of another type or empty.
std::optional<std::uint32_t> property_u32(const Property* property);  // PT_LONG, PT_I2, PT_BOOLEAN
std::optional<bool> property_bool(const Property* property);          // PT_BOOLEAN, PT_LONG, PT_I2
// PT_SYSTIME (also PT_I8): 100-nanosecond ticks since 1601-01-01 UTC.
std::optional<std::uint64_t> property_u64(const Property* property);
// PT_UNICODE as UTF-8; PT_STRING8 decoded from `code_page` to UTF-8; a terminating NUL and what
// follows it dropped.
std::optional<std::string> property_text(const Property* property, std::uint32_t code_page);
// The first value's bytes of a PT_BINARY, PT_OBJECT, PT_STRING8 or PT_UNICODE property.
std::optional<Bytes> property_bytes(const Property* property);

}  // namespace kestrox
