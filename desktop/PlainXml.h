// A fast reader of plain XML: the form list files are written in. It takes
// only a document that starts with exactly the declaration this program
// writes (version 1.0, encoding utf-8) and holds nothing but elements with
// ASCII names and double-quoted attributes, text, the five predefined entity
// references and character references; no comments, CDATA sections,
// processing instructions or document type, no carriage return or other
// control character, no byte that is not strict UTF-8 or not an XML
// character.
//
// For such a document it makes the same calls, in the same order and with
// the same texts, as expat makes (for an element, its name and attributes
// with references replaced and white space in values made spaces; text
// pieces may be cut differently, joined they are the same). Any other
// document, and so every document expat would refuse, is declined at its
// first byte outside that form: the caller then reads it with expat, which
// gives the same result more slowly, or says what is wrong with it.
//
// The document is fed in blocks; `scan` consumes the complete pieces of
// markup and text at the front and leaves the rest for the next call.
// One object per document; single-threaded.
#ifndef TOLVEX_DESKTOP_PLAINXML_H
#define TOLVEX_DESKTOP_PLAINXML_H
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex {

class PlainXmlScanner {
 public:
  class Handler {
   public:
    virtual ~Handler() = default;
    // `attributes`: name, value, name, value, ..., null; texts NUL-terminated.
    // The element's and the attributes' names may be read kNamePadding bytes
    // from their first, past their NUL, so that they are compared at once.
    virtual void start(const char* name, const char** attributes) = 0;
    virtual void end(const char* name) = 0;
    virtual void text(std::string_view piece) = 0;
  };

  static constexpr size_t kNamePadding = 32;

  explicit PlainXmlScanner(Handler& handler) : handler_(handler) {}

  // Scans `data` from its start; `last` when nothing follows it. Answers how
  // many bytes were consumed: the rest, an unfinished piece, must be handed
  // again at the front of the next call. After the last call everything is
  // consumed unless the document was declined.
  size_t scan(const char* data, size_t size, bool last);
  bool declined() const { return declined_; }
  // True once the last block was scanned and the document was whole.
  bool done() const { return done_; }

 private:
  enum class Place { kDeclaration, kBeforeRoot, kInRoot, kAfterRoot };
  // Each answers false to decline (attributeValue: npos).
  bool tag(std::string_view markup);
  bool startTag(std::string_view markup);
  bool endTag(std::string_view markup);
  bool content(std::string_view text);
  // Writes the value that `rest` starts with (after its opening quote) at
  // `out`, which has room for `rest`; answers its length in `rest` up to the
  // closing quote (npos to decline) and where what it wrote ends.
  struct Value {
    size_t length;
    char* end;
  };
  Value attributeValue(std::string_view rest, char* out);
  size_t decline();

  Handler& handler_;
  Place place_ = Place::kDeclaration;
  bool declined_ = false;
  bool done_ = false;
  std::string names_;                 // names of the open elements, each followed by a NUL
  std::vector<size_t> nameStarts_;    // where each open element's name starts in names_
  std::string scratch_;               // decoded references in text
  std::vector<char> tag_;             // the start tag's names and values, each NUL-terminated
  struct Attribute {
    size_t name, nameLength, value;  // offsets into tag_
  };
  std::vector<Attribute> found_;
  std::vector<const char*> attributes_;
};

}  // namespace tolvex
#endif
