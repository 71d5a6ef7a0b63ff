// The names of the format: attribute ids, MAPI property types and ids, property sets.
#pragma once

#include <cstdint>

#include "message/tnef.h"

namespace kestrox {

inline constexpr std::uint8_t kTnefSignatureBytes[4] = {0x78, 0x9F, 0x3E, 0x22};
inline constexpr std::uint8_t kLevelMessage = 1;
inline constexpr std::uint8_t kLevelAttachment = 2;

// Attribute ids, type in the high half ([MS-OXTNEF] 2.1.3.1).
inline constexpr std::uint32_t kAttOwner = 0x00060000;
inline constexpr std::uint32_t kAttSentFor = 0x00060001;
inline constexpr std::uint32_t kAttFrom = 0x00008000;
inline constexpr std::uint32_t kAttSubject = 0x00018004;
inline constexpr std::uint32_t kAttDateSent = 0x00038005;
inline constexpr std::uint32_t kAttDateReceived = 0x00038006;
inline constexpr std::uint32_t kAttMessageStatus = 0x00068007;
inline constexpr std::uint32_t kAttMessageClass = 0x00078008;
inline constexpr std::uint32_t kAttMessageId = 0x00018009;
inline constexpr std::uint32_t kAttBody = 0x0002800C;
inline constexpr std::uint32_t kAttPriority = 0x0004800D;
inline constexpr std::uint32_t kAttAttachData = 0x0006800F;
inline constexpr std::uint32_t kAttAttachTitle = 0x00018010;
inline constexpr std::uint32_t kAttAttachMetaFile = 0x00068011;
inline constexpr std::uint32_t kAttAttachCreateDate = 0x00038012;
inline constexpr std::uint32_t kAttAttachModifyDate = 0x00038013;
inline constexpr std::uint32_t kAttDateModified = 0x00038020;
inline constexpr std::uint32_t kAttDateStart = 0x00030006;
inline constexpr std::uint32_t kAttDateEnd = 0x00030007;
inline constexpr std::uint32_t kAttRequestResponse = 0x00040009;
inline constexpr std::uint32_t kAttAttachTransportFilename = 0x00069001;
inline constexpr std::uint32_t kAttAttachRendData = 0x00069002;
inline constexpr std::uint32_t kAttMsgProps = 0x00069003;
inline constexpr std::uint32_t kAttRecipTable = 0x00069004;
inline constexpr std::uint32_t kAttAttachment = 0x00069005;
inline constexpr std::uint32_t kAttTnefVersion = 0x00089006;
inline constexpr std::uint32_t kAttOemCodepage = 0x00069007;
inline constexpr std::uint32_t kAttOriginalMessageClass = 0x00070600;

// MAPI property types ([MS-OXCDATA] 2.11.1).
inline constexpr std::uint16_t kPtUnspecified = 0x0000;
inline constexpr std::uint16_t kPtNull = 0x0001;
inline constexpr std::uint16_t kPtI2 = 0x0002;
inline constexpr std::uint16_t kPtLong = 0x0003;
inline constexpr std::uint16_t kPtR4 = 0x0004;
inline constexpr std::uint16_t kPtDouble = 0x0005;
inline constexpr std::uint16_t kPtCurrency = 0x0006;
inline constexpr std::uint16_t kPtAppTime = 0x0007;
inline constexpr std::uint16_t kPtError = 0x000A;
inline constexpr std::uint16_t kPtBoolean = 0x000B;
inline constexpr std::uint16_t kPtObject = 0x000D;
inline constexpr std::uint16_t kPtI8 = 0x0014;
inline constexpr std::uint16_t kPtString8 = 0x001E;
inline constexpr std::uint16_t kPtUnicode = 0x001F;
inline constexpr std::uint16_t kPtSysTime = 0x0040;
inline constexpr std::uint16_t kPtClsid = 0x0048;
inline constexpr std::uint16_t kPtBinary = 0x0102;
inline constexpr std::uint16_t kMultiValued = 0x1000;

// MAPI property ids ([MS-OXPROPS]).
inline constexpr std::uint16_t kPrMessageClass = 0x001A;
inline constexpr std::uint16_t kPrSubject = 0x0037;
inline constexpr std::uint16_t kPrClientSubmitTime = 0x0039;
inline constexpr std::uint16_t kPrSentRepresentingName = 0x0042;
inline constexpr std::uint16_t kPrStartDate = 0x0060;
inline constexpr std::uint16_t kPrEndDate = 0x0061;
inline constexpr std::uint16_t kPrSentRepresentingAddrType = 0x0064;
inline constexpr std::uint16_t kPrSentRepresentingEmail = 0x0065;
inline constexpr std::uint16_t kPrConversationTopic = 0x0070;
inline constexpr std::uint16_t kPrTransportMessageHeaders = 0x007D;
inline constexpr std::uint16_t kPrRecipientType = 0x0C15;
inline constexpr std::uint16_t kPrSenderName = 0x0C1A;
inline constexpr std::uint16_t kPrSenderAddrType = 0x0C1E;
inline constexpr std::uint16_t kPrSenderEmail = 0x0C1F;
inline constexpr std::uint16_t kPrBody = 0x1000;
inline constexpr std::uint16_t kPrRtfCompressed = 0x1009;
inline constexpr std::uint16_t kPrHtml = 0x1013;
inline constexpr std::uint16_t kPrInternetMessageId = 0x1035;
inline constexpr std::uint16_t kPrDisplayName = 0x3001;
inline constexpr std::uint16_t kPrAddrType = 0x3002;
inline constexpr std::uint16_t kPrEmailAddress = 0x3003;
inline constexpr std::uint16_t kPrLastModificationTime = 0x3008;
inline constexpr std::uint16_t kPrInternetCodepage = 0x3FDE;
inline constexpr std::uint16_t kPrAttachDataObj = 0x3701;  // also PR_ATTACH_DATA_BIN
inline constexpr std::uint16_t kPrAttachExtension = 0x3703;
inline constexpr std::uint16_t kPrAttachFilename = 0x3704;
inline constexpr std::uint16_t kPrAttachMethod = 0x3705;
inline constexpr std::uint16_t kPrAttachLongFilename = 0x3707;
inline constexpr std::uint16_t kPrAttachMimeTag = 0x370E;
inline constexpr std::uint16_t kPrAttachContentId = 0x3712;
inline constexpr std::uint16_t kPrSmtpAddress = 0x39FE;
inline constexpr std::uint16_t kPrSenderSmtpAddress = 0x5D01;
inline constexpr std::uint16_t kPrSentRepresentingSmtpAddress = 0x5D02;

// PR_ATTACH_METHOD: the attachment is a message of its own.
inline constexpr std::uint32_t kAttachEmbeddedMessage = 5;

// Property sets ([MS-OXPROPS] 1.3.2), as stored.
inline constexpr Guid kPsetidMeeting = {0x90, 0xDA, 0xD8, 0x6E, 0x0B, 0x45, 0x1B, 0x10,
                                        0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05};
inline constexpr Guid kPsetidAppointment = {0x02, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid kPsetidCommon = {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid kPsetidTask = {0x03, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// The interface id that opens an attached message's PR_ATTACH_DATA_OBJ.
inline constexpr Guid kIidIMessage = {0x07, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// Named properties of meetings and appointments ([MS-OXOCAL], [MS-OXPROPS]).
inline constexpr std::uint32_t kLidAttendeeCriticalChange = 0x0001;  // PSETID_Meeting
inline constexpr std::uint32_t kLidWhere = 0x0002;                   // PSETID_Meeting
inline constexpr std::uint32_t kLidGlobalObjectId = 0x0003;          // PSETID_Meeting
inline constexpr std::uint32_t kLidOwnerCriticalChange = 0x001A;     // PSETID_Meeting
inline constexpr std::uint32_t kLidCleanGlobalObjectId = 0x0023;     // PSETID_Meeting
inline constexpr std::uint32_t kLidAppointmentSequence = 0x8201;     // PSETID_Appointment
inline constexpr std::uint32_t kLidLocation = 0x8208;
inline constexpr std::uint32_t kLidAppointmentStartWhole = 0x820D;
inline constexpr std::uint32_t kLidAppointmentEndWhole = 0x820E;
inline constexpr std::uint32_t kLidAppointmentSubType = 0x8215;
inline constexpr std::uint32_t kLidAppointmentRecur = 0x8216;
inline constexpr std::uint32_t kLidTimeZoneStruct = 0x8233;
inline constexpr std::uint32_t kLidToAttendeesString = 0x823B;
inline constexpr std::uint32_t kLidCcAttendeesString = 0x823C;
inline constexpr std::uint32_t kLidAppointmentTimeZoneDefinitionRecur = 0x8260;

}  // namespace kestrox
