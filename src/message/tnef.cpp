// Reading a TNEF stream's attributes and the MAPI property lists inside them ([MS-OXTNEF] 2.1.3).
#include "message/tnef.h"

#include <algorithm>
#include <cstring>

#include "message/cursor.h"
#include "message/properties.h"
#include "text/charsets.h"

namespace kestrox {

namespace {

// Level (1), id (4), length (4), then the value and the checksum (2).
constexpr std::size_t kSmallestRecord = 11;
// The smallest property: its type and id, then a 4-byte value or count.
constexpr std::size_t kSmallestProperty = 8;
// Names of named properties: a 32-bit number, or a UTF-16 string.
constexpr std::uint32_t kNameIsNumber = 0;
constexpr std::uint32_t kNameIsString = 1;
constexpr std::uint16_t kFirstNamedId = 0x8000;
// Types whose values are counted byte strings, beside the four of every message.
constexpr std::uint16_t kPtServerEntryId = 0x00FB;
constexpr std::uint16_t kPtRestriction = 0x00FD;
constexpr std::uint16_t kPtRuleActions = 0x00FE;

// The attribute an id names: its low half. The type in the high half is not trusted, since some
// writers leave it 0.
constexpr std::uint16_t attribute_of(std::uint32_t id) { return static_cast<std::uint16_t>(id); }

std::size_t padding_to_4(std::size_t length) { return (4 - length % 4) % 4; }

// The bytes of one value of a fixed-size type, or 0 for a type whose values are counted.
std::size_t fixed_size(std::uint16_t base_type) {
  switch (base_type) {
    case kPtI2:
    case kPtBoolean:
      return 2;
    case kPtLong:
    case kPtR4:
    case kPtError:
      return 4;
    case kPtDouble:
    case kPtCurrency:
    case kPtAppTime:
    case kPtI8:
    case kPtSysTime:
      return 8;
    case kPtClsid:
      return 16;
    default:
      return 0;
  }
}

bool is_counted(std::uint16_t base_type) {
  switch (base_type) {
    case kPtString8:
    case kPtUnicode:
    case kPtBinary:
    case kPtObject:
    case kPtServerEntryId:
    case kPtRestriction:
    case kPtRuleActions:
      return true;
    default:
      return false;
  }
}

// How many items the input claims, cut to what the bytes left could hold at `smallest` each, so
// that a lying count reserves nothing it cannot fill.
std::size_t believable(std::uint32_t count, const Cursor& cursor, std::size_t smallest) {
  return std::min<std::size_t>(count, cursor.left() / smallest);
}

// A fixed-size value: its bytes, then the padding that keeps the next field at a multiple of 4.
bool read_fixed_value(Cursor& cursor, std::size_t size, std::vector<Bytes>& values) {
  const std::optional<Bytes> value = cursor.read_bytes(size);
  if (!value || !cursor.skip(padding_to_4(size))) return false;
  values.push_back(*value);
  return true;
}

// A counted value: its 4-byte length, its bytes and padding to 4. Padding cut off by the very end
// of the list is forgiven: the value itself is whole.
bool read_counted_value(Cursor& cursor, std::vector<Bytes>& values) {
  const std::optional<std::uint32_t> length = cursor.read_u32_le();  // value length
  if (!length) return false;
  const std::optional<Bytes> value = cursor.read_bytes(*length);
  if (!value) return false;
  cursor.skip(std::min(padding_to_4(*length), cursor.left()));
  values.push_back(*value);
  return true;
}

bool read_name(Cursor& cursor, PropertyName& name) {
  const std::optional<Bytes> guid = cursor.read_bytes(name.guid.size());  // property set
  const std::optional<std::uint32_t> kind = cursor.read_u32_le();         // number or string
  if (!guid || !kind) return false;
  std::copy(guid->begin(), guid->end(), name.guid.begin());
  if (*kind == kNameIsNumber) {
    const std::optional<std::uint32_t> number = cursor.read_u32_le();
    if (!number) return false;
    name.number = *number;
    return true;
  }
  if (*kind != kNameIsString) return false;
  const std::optional<std::uint32_t> length = cursor.read_u32_le();  // in bytes, NUL included
  if (!length) return false;
  const std::optional<Bytes> text = cursor.read_bytes(*length);
  if (!text || !cursor.skip(padding_to_4(*length))) return false;
  name.is_string = true;
  name.text = utf8_from_utf16le(*text);
  return true;
}

bool read_property(Cursor& cursor, Property& property) {
  const std::optional<std::uint16_t> type = cursor.read_u16_le();  // property type
  const std::optional<std::uint16_t> id = cursor.read_u16_le();    // property id
  if (!type || !id) return false;
  property.type = *type;
  property.id = *id;
  if (property.id >= kFirstNamedId) {
    property.name.emplace();
    if (!read_name(cursor, *property.name)) return false;
  }

  const std::uint16_t base = property.base_type();
  const std::size_t size = fixed_size(base);
  const bool counted = is_counted(base);
  if (size == 0 && !counted) return false;  // a type we cannot step over
  if (size != 0 && !property.multi_valued()) return read_fixed_value(cursor, size, property.values);

  // Every counted type, and every multi-valued one, has a count of values first.
  const std::optional<std::uint32_t> count = cursor.read_u32_le();
  if (!count) return false;
  const std::size_t smallest = counted ? 4 : std::max<std::size_t>(size, 4);
  if (*count > cursor.left() / smallest) return false;  // more values than the bytes could hold
  property.values.reserve(*count);
  for (std::uint32_t i = 0; i < *count; ++i) {
    const bool read = counted ? read_counted_value(cursor, property.values)
                              : read_fixed_value(cursor, size, property.values);
    if (!read) return false;
  }
  return true;
}

// A property list from the cursor: a 4-byte count, then the properties. Stops at the first
// property that does not fit, keeping those before it.
PropertyList read_properties(Cursor& cursor) {
  PropertyList list;
  const std::optional<std::uint32_t> count = cursor.read_u32_le();  // property count
  if (!count) {
    list.complete = false;
    return list;
  }
  list.properties.reserve(believable(*count, cursor, kSmallestProperty));
  for (std::uint32_t i = 0; i < *count; ++i) {
    Property property;
    if (!read_property(cursor, property)) {
      list.complete = false;
      break;
    }
    list.properties.push_back(std::move(property));
  }
  return list;
}

// attRecipTable: a 4-byte row count, then each row a property list of its own.
std::vector<PropertyList> read_recipient_rows(Bytes table) {
  Cursor cursor(table);
  std::vector<PropertyList> rows;
  const std::optional<std::uint32_t> count = cursor.read_u32_le();  // row count
  if (!count) return rows;
  rows.reserve(believable(*count, cursor, 4));
  for (std::uint32_t i = 0; i < *count; ++i) {
    rows.push_back(read_properties(cursor));
    if (!rows.back().complete) break;
  }
  return rows;
}

bool same_name(const Property& property, const Guid& guid) {
  return property.name.has_value() && property.name->guid == guid;
}

const Property* single_value(const Property* property) {
  if (property == nullptr || property->values.empty()) return nullptr;
  return property;
}

// A value of 2 or 4 bytes as a number.
std::uint32_t little_endian(Bytes value) {
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < value.size() && i < 4; ++i)
    number |= std::uint32_t{value[i]} << (8 * i);
  return number;
}

}  // namespace

const Property* PropertyList::find(std::uint16_t id) const {
  for (const Property& property : properties) {
    if (property.id == id && id < kFirstNamedId) return &property;
  }
  return nullptr;
}

const Property* PropertyList::find_named(const Guid& guid, std::uint32_t number) const {
  for (const Property& property : properties) {
    if (same_name(property, guid) && !property.name->is_string && property.name->number == number)
      return &property;
  }
  return nullptr;
}

const Property* PropertyList::find_named(const Guid& guid, std::string_view text) const {
  for (const Property& property : properties) {
    if (same_name(property, guid) && property.name->is_string && property.name->text == text)
      return &property;
  }
  return nullptr;
}

const Attribute* TnefAttachment::find(std::uint32_t id) const {
  for (const Attribute& attribute : attributes) {
    if (attribute_of(attribute.id) == attribute_of(id)) return &attribute;
  }
  return nullptr;
}

const Attribute* TnefAttachment::data() const { return find(kAttAttachData); }

const Attribute* TnefMessage::find(std::uint32_t id) const {
  for (const Attribute& attribute : attributes) {
    if (attribute_of(attribute.id) == attribute_of(id)) return &attribute;
  }
  return nullptr;
}

std::optional<TnefMessage> read_tnef(Bytes stream) {
  Cursor cursor(stream);
  const std::optional<Bytes> signature = cursor.read_bytes(sizeof kTnefSignatureBytes);
  if (!signature || std::memcmp(signature->data(), kTnefSignatureBytes, signature->size()) != 0)
    return std::nullopt;

  TnefMessage message;
  if (!cursor.skip(2)) {  // legacy key
    message.complete = false;
    return message;
  }
  bool have_code_page = false;
  message.attributes.reserve(std::min<std::size_t>(cursor.left() / kSmallestRecord, 32));
  while (!cursor.at_end()) {
    Attribute attribute;
    attribute.offset = cursor.position();
    const std::optional<std::uint8_t> level = cursor.read_u8();        // level
    const std::optional<std::uint32_t> id = cursor.read_u32_le();      // attribute id and type
    const std::optional<std::uint32_t> length = cursor.read_u32_le();  // value length
    const std::optional<Bytes> value = length ? cursor.read_bytes(*length) : std::nullopt;
    // The checksum is not checked: real files get it wrong, and their values are still good.
    if (!level || !id || !value || !cursor.skip(2) ||
        (*level != kLevelMessage && *level != kLevelAttachment)) {
      // A record cut short, or a level byte that no writer uses: the bytes are no longer read in
      // step with the records they hold.
      message.complete = false;
      break;
    }
    attribute.level = *level;
    attribute.id = *id;
    attribute.value = *value;

    const std::uint16_t name = attribute_of(attribute.id);
    if (attribute.level == kLevelMessage) {
      if (name == attribute_of(kAttMsgProps)) {
        message.properties = read_property_list(attribute.value);
      } else if (name == attribute_of(kAttRecipTable)) {
        message.recipients = read_recipient_rows(attribute.value);
      } else if (name == attribute_of(kAttOemCodepage) && !have_code_page && value->size() >= 4) {
        message.code_page = little_endian(attribute.value);  // primary code page
        have_code_page = true;
      }
      message.attributes.push_back(attribute);
      continue;
    }
    // attAttachRendData opens an attachment; so does a first level-2 record of any other kind.
    if (name == attribute_of(kAttAttachRendData) || message.attachments.empty())
      message.attachments.emplace_back();
    TnefAttachment& attachment = message.attachments.back();
    if (name == attribute_of(kAttAttachment))
      attachment.properties = read_property_list(attribute.value);
    attachment.attributes.push_back(attribute);
  }
  return message;
}

PropertyList read_property_list(Bytes list) {
  Cursor cursor(list);
  return read_properties(cursor);
}

std::optional<std::uint32_t> property_u32(const Property* property) {
  property = single_value(property);
  if (property == nullptr || property->multi_valued()) return std::nullopt;
  const std::uint16_t type = property->base_type();
  if (type != kPtLong && type != kPtI2 && type != kPtBoolean) return std::nullopt;
  return little_endian(property->values.front());
}

std::optional<bool> property_bool(const Property* property) {
  const std::optional<std::uint32_t> number = property_u32(property);
  if (!number) return std::nullopt;
  return *number != 0;
}

std::optional<std::uint64_t> property_u64(const Property* property) {
  property = single_value(property);
  if (property == nullptr || property->multi_valued()) return std::nullopt;
  const std::uint16_t type = property->base_type();
  if (type != kPtSysTime && type != kPtI8) return std::nullopt;
  Cursor cursor(property->values.front());
  return cursor.read_u64_le();
}

std::optional<std::string> property_text(const Property* property, std::uint32_t code_page) {
  property = single_value(property);
  if (property == nullptr) return std::nullopt;
  if (property->base_type() == kPtUnicode) return utf8_from_utf16le(property->values.front());
  if (property->base_type() == kPtString8)
    return utf8_from_code_page(property->values.front(), code_page);
  return std::nullopt;
}

std::optional<Bytes> property_bytes(const Property* property) {
  property = single_value(property);
  if (property == nullptr) return std::nullopt;
  switch (property->base_type()) {
    case kPtBinary:
    case kPtObject:
    case kPtString8:
    case kPtUnicode:
      return property->values.front();
    default:
      return std::nullopt;
  }
}

}  // namespace kestrox
