// The XML scanner: one pass over the document, without recursion, checking what makes it
// well-formed (valid characters, one root, balanced and matching tags, attributes written and
// named once, references, comments, CDATA sections, processing instructions).

#include "convert/xml_scanner.h"

#include <algorithm>

namespace tunewright {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Names as XML writes them; every character past ASCII is taken as a name character.
bool isNameStart(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || byte == '_' ||
         byte == ':' || byte >= 0x80;
}

bool isNameCharacter(char c) {
  return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool isXmlCharacter(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the UTF-8 sequence at the start of text and the character it encodes; 0 for
// one that is not valid (overlong, a surrogate, past U+10FFFF, cut short).
std::size_t utf8Sequence(std::string_view text, uint32_t& character) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  uint32_t least = 0;
  if (lead < 0x80) {
    character = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    character = lead & 0x1Fu;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    character = lead & 0x0Fu;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    character = lead & 0x07u;
    least = 0x10000;
  }
  if (length == 0 || text.size() < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) {
      return 0;
    }
    character = character << 6 | (byte(i) & 0x3Fu);
  }
  const bool surrogate = character >= 0xD800 && character <= 0xDFFF;
  return character >= least && character <= 0x10FFFF && !surrogate ? length : 0;
}

void appendUtf8(std::string& to, uint32_t c) {
  const auto put = [&](uint32_t byte) { to.push_back(static_cast<char>(byte)); };
  if (c < 0x80) {
    put(c);
  } else if (c < 0x800) {
    put(0xC0 | c >> 6);
    put(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    put(0xE0 | c >> 12);
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  } else {
    put(0xF0 | c >> 18);
    put(0x80 | (c >> 12 & 0x3F));
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  }
}

std::size_t nameLength(std::string_view text) {
  if (text.empty() || !isNameStart(text[0])) {
    return 0;
  }
  std::size_t length = 1;
  while (length < text.size() && isNameCharacter(text[length])) {
    ++length;
  }
  return length;
}

// The reference after an '&' at the start of text: its length with the ';' and the character
// it stands for; 0 for one that is not one of the five predefined entities or a character
// reference to a character XML allows.
std::size_t referenceLength(std::string_view text, uint32_t& character) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"lt;", '<'}, {"gt;", '>'}, {"amp;", '&'}, {"apos;", '\''}, {"quot;", '"'}};
  for (const auto& [entity, stands] : kEntities) {
    if (text.starts_with(entity)) {
      character = static_cast<unsigned char>(stands);
      return entity.size();
    }
  }
  if (!text.starts_with('#')) {
    return 0;
  }
  const bool hex = text.size() > 1 && text[1] == 'x';
  std::size_t i = hex ? 2 : 1;
  const std::size_t first = i;
  character = 0;
  for (; i < text.size() && text[i] != ';'; ++i) {
    const char c = text[i];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return 0;
    }
    character = character * (hex ? 16 : 10) + digit;
    if (character > 0x10FFFF) {
      return 0;
    }
  }
  if (i == first || i == text.size() || !isXmlCharacter(character)) {
    return 0;
  }
  return i + 1;
}

// Whether every '&' in text starts a reference that is well-formed.
bool referencesWellFormed(std::string_view text) {
  for (std::size_t amp = text.find('&'); amp != std::string_view::npos;
       amp = text.find('&', amp + 1)) {
    uint32_t character = 0;
    if (referenceLength(text.substr(amp + 1), character) == 0) {
      return false;
    }
  }
  return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

}  // namespace

bool decodeAttribute(std::string_view raw, std::string& value) {
  value.clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '&') {
      uint32_t character = 0;
      const std::size_t length = referenceLength(raw.substr(i + 1), character);
      if (length == 0) {
        return false;
      }
      appendUtf8(value, character);
      i += length;
    } else if (isSpace(c)) {
      // A line end, CR LF included, is one character, and white space reads as a space.
      if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
        ++i;
      }
      value.push_back(' ');
    } else {
      value.push_back(c);
    }
  }
  return true;
}

bool XmlScanner::checkCharacters() {
  std::string_view rest = document_;
  while (!rest.empty()) {
    uint32_t character = 0;
    const std::size_t length = utf8Sequence(rest, character);
    if (length == 0 || !isXmlCharacter(character)) {
      return false;
    }
    rest.remove_prefix(length);
  }
  return true;
}

// The byte order mark, the XML declaration (which says UTF-8 if it names an encoding), and the
// comments, processing instructions and white space before the root.
bool XmlScanner::skipProlog() {
  if (document_.starts_with("\xEF\xBB\xBF")) {
    at_ = 3;
  }
  const std::string_view rest = document_.substr(at_);
  if (rest.starts_with("<?xml") && rest.size() > 5 && isSpace(rest[5])) {
    at_ += 5;
    if (!readAttributes(true)) {
      return false;
    }
    if (attributes_.empty() || attributes_.front().name != "version") {
      return false;
    }
    for (const XmlAttribute& attribute : attributes_) {
      if (attribute.name == "encoding" && !equalsIgnoringCase(value(attribute), "UTF-8")) {
        return false;
      }
      if (attribute.name != "version" && attribute.name != "encoding" &&
          attribute.name != "standalone") {
        return false;
      }
    }
  }
  return skipMisc();
}

// Comments, processing instructions and white space, outside the root.
bool XmlScanner::skipMisc() {
  for (;;) {
    while (at_ < document_.size() && isSpace(document_[at_])) {
      ++at_;
    }
    const std::string_view rest = document_.substr(at_);
    if (!rest.starts_with("<!--") && !rest.starts_with("<?")) {
      return true;
    }
    Token token = Token::kMalformed;
    if (!readMarkup(token)) {
      return false;
    }
  }
}

XmlScanner::Token XmlScanner::next() {
  const auto fail = [this] {
    failed_ = true;
    return Token::kMalformed;
  };
  if (failed_) {
    return Token::kMalformed;
  }
  if (!started_) {
    started_ = true;
    if (!checkCharacters() || !skipProlog()) {
      return fail();
    }
  }
  if (emptyElement_) {
    emptyElement_ = false;
    depth_ = static_cast<int32_t>(stack_.size());
    stack_.pop_back();
    return Token::kEnd;
  }
  for (;;) {
    if (stack_.empty()) {
      if (rootSeen_) {
        if (!skipMisc() || at_ != document_.size()) {
          return fail();
        }
        return Token::kFinished;
      }
      // The root's start tag, and nothing else, comes next.
      if (at_ + 1 >= document_.size() || document_[at_] != '<' ||
          !isNameStart(document_[at_ + 1])) {
        return fail();
      }
    }
    if (at_ >= document_.size()) {
      return fail();  // an element left open
    }
    if (document_[at_] != '<') {
      if (!readText()) {
        return fail();
      }
      continue;
    }
    Token token = Token::kMalformed;
    if (!readMarkup(token)) {
      return fail();
    }
    if (token != Token::kMalformed) {
      return token;
    }
  }
}

// Markup at '<': a start or end tag (token says which), or a comment, CDATA section or
// processing instruction, which are passed over (token left as it was).
bool XmlScanner::readMarkup(Token& token) {
  const std::string_view rest = document_.substr(at_);
  const auto skipTo = [&](std::size_t from, std::string_view end) {
    const std::size_t found = rest.find(end, from);
    if (found == std::string_view::npos) {
      return false;
    }
    at_ += found + end.size();
    return true;
  };
  if (rest.starts_with("<!--")) {
    // "--" may stand only at the comment's end.
    const std::size_t dashes = rest.find("--", 4);
    return dashes != std::string_view::npos && rest.substr(dashes).starts_with("-->") &&
           skipTo(dashes, "-->");
  }
  if (rest.starts_with("<![CDATA[")) {
    return !stack_.empty() && skipTo(9, "]]>");
  }
  if (rest.starts_with("<?")) {
    const std::size_t target = nameLength(rest.substr(2));
    if (target == 0 || equalsIgnoringCase(rest.substr(2, target), "xml")) {
      return false;  // a declaration anywhere but at the start
    }
    const std::size_t after = 2 + target;
    if (!rest.substr(after).starts_with("?>") && (after >= rest.size() || !isSpace(rest[after]))) {
      return false;
    }
    return skipTo(after, "?>");
  }
  if (rest.starts_with("</")) {
    if (!readEndTag()) {
      return false;
    }
    token = Token::kEnd;
    return true;
  }
  if (rest.starts_with("<!")) {
    return false;  // a document type declaration, or nothing XML knows
  }
  ++at_;
  if (!readStartTag()) {
    return false;
  }
  token = Token::kStart;
  return true;
}

// A start tag after its '<': the name, then its attributes.
bool XmlScanner::readStartTag() {
  const std::size_t length = nameLength(document_.substr(at_));
  const std::string_view name = document_.substr(at_, length);
  at_ += length;
  if (!readAttributes(false)) {
    return false;
  }
  if (static_cast<int32_t>(stack_.size()) >= kMaxDepth) {
    return false;
  }
  stack_.push_back(name);
  current_ = name;
  rootSeen_ = true;
  depth_ = static_cast<int32_t>(stack_.size());
  return true;
}

// Attributes, each after white space and named once, to ">" or "/>", or for the XML declaration
// (whose pseudo-attributes are written as attributes are) to "?>".
bool XmlScanner::readAttributes(bool declaration) {
  attributes_.clear();
  const auto skipSpace = [this] {
    while (at_ < document_.size() && isSpace(document_[at_])) {
      ++at_;
    }
  };
  for (;;) {
    const std::size_t before = at_;
    skipSpace();
    const std::string_view rest = document_.substr(at_);
    const std::string_view end = declaration ? "?>" : rest.starts_with("/>") ? "/>" : ">";
    if (rest.starts_with(end)) {
      emptyElement_ = end == "/>";
      at_ += end.size();
      break;
    }
    const std::size_t length = nameLength(rest);
    if (at_ == before || length == 0) {
      return false;
    }
    XmlAttribute attribute{rest.substr(0, length), 0, 0};
    at_ += length;
    skipSpace();
    if (at_ >= document_.size() || document_[at_] != '=') {
      return false;
    }
    ++at_;
    skipSpace();
    if (at_ >= document_.size() || (document_[at_] != '"' && document_[at_] != '\'')) {
      return false;
    }
    const std::size_t close = document_.find(document_[at_], at_ + 1);
    if (close == std::string_view::npos) {
      return false;
    }
    attribute.valueOffset = at_ + 1;
    attribute.valueLength = close - at_ - 1;
    const std::string_view raw = value(attribute);
    if (raw.find('<') != std::string_view::npos || !referencesWellFormed(raw)) {
      return false;
    }
    attributes_.push_back(attribute);
    at_ = close + 1;
  }
  names_.clear();
  for (const XmlAttribute& attribute : attributes_) {
    names_.push_back(attribute.name);
  }
  std::sort(names_.begin(), names_.end());
  return std::adjacent_find(names_.begin(), names_.end()) == names_.end();
}

bool XmlScanner::readEndTag() {
  at_ += 2;
  const std::size_t length = nameLength(document_.substr(at_));
  const std::string_view name = document_.substr(at_, length);
  at_ += length;
  while (at_ < document_.size() && isSpace(document_[at_])) {
    ++at_;
  }
  if (length == 0 || stack_.empty() || name != stack_.back() || at_ >= document_.size() ||
      document_[at_] != '>') {
    return false;
  }
  ++at_;
  depth_ = static_cast<int32_t>(stack_.size());
  current_ = name;
  stack_.pop_back();
  return true;
}

// Character data up to the next markup: its references well-formed, and no "]]>".
bool XmlScanner::readText() {
  const std::size_t end = std::min(document_.find('<', at_), document_.size());
  const std::string_view text = document_.substr(at_, end - at_);
  at_ = end;
  return text.find("]]>") == std::string_view::npos && referencesWellFormed(text);
}

}  // namespace tunewright
