// The escapes of outside text, on any bytes: the run record's JSON and XML
// (JsonEscape, XmlEscape) read back through real parsers as the text itself
// (bytes above 0x7F as Latin-1; in XML, control characters it cannot carry as
// U+FFFD), and the console's and test server's escape (TextAppendEscaped)
// gives printable ASCII only, each byte readable back from its escape, cut
// only between escapes.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/text.h"
#include "station/run_record.h"

namespace {

std::string Utf8FromLatin1(const std::string& text, bool xml) {
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (xml && c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
      out += "\xEF\xBF\xBD";
    } else if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool PrintableAscii(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

void CheckJson(const std::string& text) {
  std::string escaped = JsonEscape(text);
  if (!PrintableAscii(escaped)) std::abort();
  nlohmann::json parsed = nlohmann::json::parse("\"" + escaped + "\"", nullptr, false);
  if (parsed.is_discarded() || parsed.get<std::string>() != Utf8FromLatin1(text, false)) {
    std::abort();
  }
}

void Silent(void*, const char*, ...) {}

void CheckXml(const std::string& text) {
  std::string escaped = XmlEscape(text);
  std::string document = "<r a=\"" + escaped + "\">" + escaped + "</r>";
  xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "r.xml",
                                "UTF-8", XML_PARSE_NONET);
  if (doc == nullptr) std::abort();  // not well-formed
  xmlNodePtr root = xmlDocGetRootElement(doc);
  xmlChar* attribute = xmlGetProp(root, reinterpret_cast<const xmlChar*>("a"));
  xmlChar* content = xmlNodeGetContent(root);
  std::string expected = Utf8FromLatin1(text, true);
  bool same = attribute != nullptr && content != nullptr &&
              expected == reinterpret_cast<const char*>(attribute) &&
              expected == reinterpret_cast<const char*>(content);
  xmlFree(attribute);
  xmlFree(content);
  xmlFreeDoc(doc);
  if (!same) std::abort();
}

// The byte an escape stands for, or -1 when it is no escape of this helper.
int Unescape(const std::string& piece) {
  if (piece == "\\r") return '\r';
  if (piece == "\\n") return '\n';
  if (piece == "\\t") return '\t';
  if (piece.size() != 4 || piece.compare(0, 2, "\\x") != 0) return -1;
  const char* hex = "0123456789ABCDEF";
  const char* high = std::strchr(hex, piece[2]);
  const char* low = std::strchr(hex, piece[3]);
  if (high == nullptr || low == nullptr || piece[2] == '\0' || piece[3] == '\0') return -1;
  return static_cast<int>((high - hex) * 16 + (low - hex));
}

void CheckDestinationEscape(const std::string& text, const char* reserved, size_t cap) {
  // Each byte's own escape.
  std::vector<std::string> pieces;
  for (char ch : text) {
    char one[2] = {ch, '\0'};
    char piece[8] = {};
    TextAppendEscaped(piece, sizeof piece, one, reserved);
    std::string p = piece;
    unsigned char c = static_cast<unsigned char>(ch);
    bool plain =
        c >= 0x20 && c < 0x7F && (reserved == nullptr || std::strchr(reserved, ch) == nullptr);
    if (plain ? p != std::string(1, ch) : Unescape(p) != c) std::abort();
    pieces.push_back(p);
  }
  // The whole text in a field of cap: "> " first, then as many whole escapes as fit.
  std::vector<char> field(cap, '#');
  std::string before = "> ";
  TextCopy(field.data(), cap, before.c_str());
  bool cut = false;
  size_t length = TextAppendEscaped(field.data(), cap, text.c_str(), reserved, &cut);
  std::string expected = before.substr(0, cap - 1);
  bool expectCut = false;
  for (const std::string& p : pieces) {
    if (expected.size() + p.size() >= cap) {
      expectCut = true;
      break;
    }
    expected += p;
  }
  if (length != expected.size() || std::string(field.data()) != expected || cut != expectCut ||
      !PrintableAscii(expected)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  static bool quiet = [] {
    xmlSetGenericErrorFunc(nullptr, Silent);
    return true;
  }();
  (void)quiet;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  CheckJson(bytes);
  CheckXml(bytes);
  // Outside texts are C strings: they end at a NUL.
  std::string text = bytes.c_str();
  CheckDestinationEscape(text, (data[0] & 1) != 0 ? ";{}" : nullptr, 3 + data[0] / 2);
  return 0;
}
