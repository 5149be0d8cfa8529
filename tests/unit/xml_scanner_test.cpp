// The XML scanner: what it tells of a well-formed document, and what it refuses.

#include "convert/xml_scanner.h"

#include <gtest/gtest.h>

#include <string>

namespace tunewright {
namespace {

// Every token of a document, one per line: "+name@depth attr=[raw]..." for a start, "-name@depth"
// for an end, then "finished" or "malformed".
std::string trace(std::string_view document) {
  XmlScanner scanner(document);
  std::string lines;
  for (;;) {
    const XmlScanner::Token token = scanner.next();
    if (token == XmlScanner::Token::kFinished) {
      return lines.append("finished");
    }
    if (token == XmlScanner::Token::kMalformed) {
      return lines.append("malformed");
    }
    lines.append(token == XmlScanner::Token::kStart ? "+" : "-")
        .append(scanner.name())
        .append("@")
        .append(std::to_string(scanner.depth()));
    if (token == XmlScanner::Token::kStart) {
      for (const XmlAttribute& attribute : scanner.attributes()) {
        lines.append(" ").append(attribute.name).append("=[").append(scanner.value(attribute));
        lines.append("]");
      }
    }
    lines.append("\n");
  }
}

TEST(XmlScanner, TellsElementsAndWhereTheirAttributesLie) {
  const std::string document =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\" standalone='yes'?>\r\n"
      "<!-- a comment - with a dash --><?writer hint?>\r\n"
      "<Project version=\"1.0\">\r\n"
      "  <Device id = 'd1' name=\"A &amp; B &#x42;\"\tvalue=\"0.5\"/>\r\n"
      "  <![CDATA[<not a tag/> & ]]>text &lt;&#233;\xC3\xA9 <x:y-z.w/>\r\n"
      "</Project >\r\n<!-- after -->\r\n";
  EXPECT_EQ(trace(document),
            "+Project@1 version=[1.0]\n"
            "+Device@2 id=[d1] name=[A &amp; B &#x42;] value=[0.5]\n"
            "-Device@2\n"
            "+x:y-z.w@2\n"
            "-x:y-z.w@2\n"
            "-Project@1\n"
            "finished");
  // Each value's place is in the document itself.
  XmlScanner scanner(document);
  scanner.next();
  scanner.next();
  const XmlAttribute& value = scanner.attributes()[2];
  EXPECT_EQ(document.substr(value.valueOffset, value.valueLength), "0.5");
}

TEST(XmlScanner, RefusesWhatIsNotWellFormed) {
  std::string nested;  // one level too deep, closed as it should be
  for (int32_t i = 0; i <= XmlScanner::kMaxDepth; ++i) {
    nested += "<a>";
  }
  for (int32_t i = 0; i <= XmlScanner::kMaxDepth; ++i) {
    nested += "</a>";
  }
  const std::pair<const char*, std::string> cases[] = {
      {"no root", ""},
      {"only a comment", "<!-- -->"},
      {"an element left open", "<a><b/>"},
      {"an end tag not the start's", "<a></b>"},
      {"two roots", "<a/><b/>"},
      {"text before the root", "x<a/>"},
      {"text after the root", "<a/>x"},
      {"an attribute twice", "<a x='1' y='2' x='3'/>"},
      {"an unquoted value", "<a x=1/>"},
      {"quotes that do not match", "<a x='1\"/>"},
      {"attributes not apart", "<a x='1'y='2'/>"},
      {"'<' in a value", "<a x='<'/>"},
      {"an unknown entity", "<a x='&nbsp;'/>"},
      {"a bare '&'", "<a>fish & chips</a>"},
      {"a reference to NUL", "<a>&#0;</a>"},
      {"a reference to a surrogate", "<a>&#xD800;</a>"},
      {"a reference past Unicode", "<a>&#x110000;</a>"},
      {"a document type", "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>"},
      {"'--' in a comment", "<a><!-- x -- y --></a>"},
      {"a comment left open", "<a><!-- x </a>"},
      {"']]>' in text", "<a>]]></a>"},
      {"CDATA outside the root", "<![CDATA[x]]><a/>"},
      {"a control character", "<a>\x01</a>"},
      {"a byte that is not UTF-8", "<a>\xFF</a>"},
      {"an overlong UTF-8 form", "<a>\xC0\xAF</a>"},
      {"the declaration not at the start", " <?xml version='1.0'?><a/>"},
      {"another encoding", "<?xml version='1.0' encoding='ISO-8859-1'?><a/>"},
      {"a processing instruction named xml", "<a><?XML x?></a>"},
      {"too deep", nested},
  };
  for (const auto& [what, document] : cases) {
    const std::string result = trace(document);
    EXPECT_TRUE(result.ends_with("malformed")) << what << ":\n" << result;
  }
}

TEST(DecodeAttribute, ResolvesReferencesAndWhiteSpaceAsAReaderDoes) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"plugins/a&amp;b.fxp", "plugins/a&b.fxp"},
      {"&lt;&gt;&quot;&apos;", "<>\"'"},
      {"&#x41;&#66;&#233;&#x1F3B9;", "AB\xC3\xA9\xF0\x9F\x8E\xB9"},
      {"a\r\nb\tc\nd\re", "a b c d e"},
      {"&#10;", "\n"},
  };
  std::string value;
  for (const auto& [raw, decoded] : cases) {
    EXPECT_TRUE(decodeAttribute(raw, value)) << raw;
    EXPECT_EQ(value, decoded) << raw;
  }
  EXPECT_FALSE(decodeAttribute("&amp", value));
  EXPECT_FALSE(decodeAttribute("&#;", value));
}

}  // namespace
}  // namespace tunewright
