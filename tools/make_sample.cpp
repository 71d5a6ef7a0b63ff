// Writes samples/winmail.dat: a small TNEF file of the kind a mail client attaches, holding three
// attachments named the three ways the scan knows (title, 8-bit and Unicode name properties).
//
//   make_sample [output path]        (default: samples/winmail.dat)
#include <cstdio>
#include <string>
#include <vector>

#include "support/tnef_builder.h"

namespace {

using kestrox::testing::ByteVector;

ByteVector bytes_of(const std::string& text) { return ByteVector(text.begin(), text.end()); }

const char kNotes[] =
    "Planning meeting, 12 September\r\n"
    "\r\n"
    "- Budget review moved to Thursday.\r\n"
    "- Anna sends the Q3 report by Friday.\r\n"
    "- Next meeting: 26 September, room 4.\r\n";

// A one-page PDF that viewers open: its cross-reference table holds the real offsets.
ByteVector small_pdf() {
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
      "/Resources << /Font << /F1 5 0 R >> >> >>",
      "",  // the content stream, below
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
  };
  const std::string content = "BT /F1 18 Tf 72 770 Td (Quarterly report, Q3) Tj ET\n";

  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n";
    if (i == 3) {
      pdf += "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
             "endstream\n";
    } else {
      pdf += objects[i] + "\n";
    }
    pdf += "endobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char entry[21];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return bytes_of(pdf);
}

const char kBudget[] =
    "Item;Q2;Q3\r\n"
    "Travel;1200;950\r\n"
    "Hardware;3400;4100\r\n"
    "Training;800;1250\r\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrox::testing;
  const std::string path = argc > 1 ? argv[1] : "samples/winmail.dat";

  TnefBuilder tnef;
  tnef.signature()
      .tnef_version()
      .oem_codepage(1252)
      .message_class("IPM.Microsoft Mail.Note")
      .record(kLevelMessage, kAttSubject, kAtpString, std::string_view("Q3 planning\0", 12));

  // 1. A text file: title, then 8-bit long file name and display name.
  tnef.attach_rend_data()
      .attach_title("notes.txt")
      .attach_data(bytes_of(kNotes))
      .attachment_properties(MapiBlock()
                                 .mapi_string8(kPrAttachFilename, "notes.txt")
                                 .mapi_string8(kPrAttachLongFilename, "notes.txt")
                                 .mapi_string8(kPrDisplayName, "notes.txt")
                                 .mapi_string8(kPrAttachMimeTag, "text/plain")
                                 .mapi_long(kPrAttachMethod, 1));

  // 2. A PDF whose title is the short 8.3 name; the long file name comes from the properties.
  tnef.attach_rend_data()
      .attach_title("REPORT~1.PDF")
      .attach_data(small_pdf())
      .attachment_properties(MapiBlock()
                                 .mapi_string8(kPrAttachFilename, "REPORT~1.PDF")
                                 .mapi_string8(kPrAttachLongFilename, "report.pdf")
                                 .mapi_string8(kPrDisplayName, "report.pdf")
                                 .mapi_string8(kPrAttachMimeTag, "application/pdf")
                                 .mapi_long(kPrAttachMethod, 1));

  // 3. A file whose long name is only given in Unicode.
  tnef.attach_rend_data()
      .attach_title("BUDGET~1.CSV")
      .attach_data(bytes_of(kBudget))
      .attachment_properties(MapiBlock()
                                 .mapi_string8(kPrAttachFilename, "BUDGET~1.CSV")
                                 .mapi_unicode(kPrAttachLongFilename, u"Budget M\u00e4rz.csv")
                                 .mapi_unicode(kPrDisplayName, u"Budget M\u00e4rz.csv")
                                 .mapi_string8(kPrAttachMimeTag, "text/csv")
                                 .mapi_long(kPrAttachMethod, 1));

  if (!write_file(path, tnef.bytes())) {
    std::fprintf(stderr, "make_sample: cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("make_sample: wrote %s, %zu bytes\n", path.c_str(), tnef.bytes().size());
  return 0;
}
