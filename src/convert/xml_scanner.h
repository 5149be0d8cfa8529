#pragma once

// A scanner of XML documents such as a project's project.xml: it checks that the document is
// well-formed and tells each element's start, with where each attribute's value lies, and end,
// so that an edit is a patch of those values and nothing else of the document changes. It
// expands no entity but the five predefined ones and character references, and refuses a
// document type declaration outright.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tunewright {

struct XmlAttribute {
  std::string_view name;
  std::size_t valueOffset;  // where the value lies in the document, between its quotes, as
  std::size_t valueLength;  // written: references unresolved
};

class XmlScanner {
 public:
  enum class Token {
    kStart,      // an element's start tag, or an empty element, whose kEnd follows at once
    kEnd,        // an element's end
    kFinished,   // the document ended well-formed
    kMalformed,  // it is not well-formed here (or nests deeper than kMaxDepth)
  };

  static constexpr int32_t kMaxDepth = 256;

  // The document, in UTF-8 with or without a byte order mark, stays the caller's.
  explicit XmlScanner(std::string_view document) : document_(document) {}

  Token next();

  // The element the last kStart or kEnd was about, and how deep it lies: the root at 1.
  std::string_view name() const { return current_; }
  int32_t depth() const { return depth_; }
  // The attributes of the last kStart, in document order.
  std::span<const XmlAttribute> attributes() const { return attributes_; }
  std::string_view value(const XmlAttribute& attribute) const {
    return document_.substr(attribute.valueOffset, attribute.valueLength);
  }

 private:
  bool checkCharacters();
  bool skipProlog();
  bool readMarkup(Token& token);
  bool readStartTag();
  bool readAttributes(bool declaration);
  bool readEndTag();
  bool readText();
  bool skipMisc();

  std::string_view document_;
  std::size_t at_ = 0;
  std::vector<std::string_view> stack_;
  std::vector<XmlAttribute> attributes_;
  std::vector<std::string_view> names_;  // work space for the attributes' uniqueness
  std::string_view current_;
  int32_t depth_ = 0;
  bool started_ = false;
  bool emptyElement_ = false;  // the last start tag ended in "/>": its kEnd is next
  bool rootSeen_ = false;
  bool failed_ = false;
};

// An attribute's value as written, with its references resolved and its white space made
// spaces, as an XML reader reads it. False when a reference is not well-formed.
bool decodeAttribute(std::string_view raw, std::string& value);

}  // namespace tunewright
