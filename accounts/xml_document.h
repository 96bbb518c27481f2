#pragma once
// CXmlDocument: a small XML reader and writer with a cursor.
//
// The whole document is kept as one byte string; beside it a table records, for every
// element, where its start and end tags are and how it is linked to its parent, first child
// and next sibling. Parsing fills the table, every edit splices the text in place and shifts
// the offsets that follow, saving writes the text unchanged. Text, comments, declarations and
// line breaks the program never touches survive a load and a save byte for byte.
//
// The text is handled as raw bytes in a double-byte code page (CP949: lead 0x81-0xFE, trail
// 0x41-0xFE): a lead byte and its trail are always stepped over together, so a trail byte is
// never taken for a delimiter. For UTF-8 and other ASCII-compatible encodings this changes
// nothing, because no delimiter that matters lies in the trail range except "\", "[" and "]".
//
// No conversion of the encoding is done, no byte-order mark and no declaration is written.
// Nothing is unbounded: a document over kMaxTextSize bytes, with more than kMaxElements
// elements or nested deeper than kMaxDepth is refused with a parse error.

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace talvex {

struct CXmlElementPos {
    int nStartL = 0;     // offset of the "<" of the start tag
    int nStartR = 0;     // offset of the ">" of the start tag
    int nEndL = 0;       // offset of the "<" of the end tag; for an empty element the "/" before ">"
    int nEndR = 0;       // offset of the ">" of the end tag; for an empty element equal to nStartR
    int iElemParent = 0; // indexes into the element table, 0 = none
    int iElemChild = 0;
    int iElemNext = 0;

    bool IsEmptyElement() const { return nStartR == nEndL + 1; }
};

// Scanner state over the document text.
struct CXmlToken {
    const std::string* pText = nullptr;
    int nL = 0;    // first byte of the token
    int nR = -1;   // last byte of the token (inclusive)
    int nNext = 0; // where the following scan starts
    bool bIsString = false; // quoted token: nL..nR are the bytes between the quotes

    explicit CXmlToken(const std::string& text, int next = 0) : pText(&text), nNext(next) {}
    bool FindAny();
    bool Match(std::string_view name) const;
    int Length() const { return nR - nL + 1; }
    char First() const { return (*pText)[static_cast<size_t>(nL)]; }
    std::string_view View() const;
};

class CXmlDocument {
public:
    static constexpr size_t kMaxTextSize = 64u * 1024u * 1024u;
    static constexpr int kMaxElements = 4 * 1024 * 1024;
    static constexpr int kMaxDepth = 512;

    CXmlDocument();

    // Replaces the document by text and parses it. False on an empty text or a parse error;
    // the text stays in the document, the element table is then empty.
    bool LoadText(std::string_view text);
    // Reads the whole file as bytes and calls LoadText. False when the file cannot be read
    // (the document then stays as it was) or does not parse.
    bool LoadFile(const std::string& path);
    // Writes the text to a temporary file beside path, flushes it to disk and renames it over
    // path, so that the old file survives a failed save. The new file gets the given mode.
    bool SaveFile(const std::string& path, mode_t mode = 0644) const;

    void ResetPosition();
    bool FindSibling(std::string_view name = {});
    bool FindChild(std::string_view name = {});
    bool EnterElement();
    bool LeaveElement();
    std::string ChildName() const;
    std::string ChildAttribute(std::string_view name) const;
    bool SetChildAttribute(std::string_view name, std::string_view value);
    bool AppendSibling(std::string_view name, std::string_view data = {});
    bool AppendChild(std::string_view name, std::string_view data = {});
    const std::string& Error() const { return m_strError; }

    const std::string& Text() const { return m_strDoc; }
    // Name of the current element (empty when there is none).
    std::string Name() const;

    static std::string EncodeText(std::string_view value, bool bAttribute);
    static std::string DecodeText(std::string_view value);

private:
    int x_GetFreePos();
    void x_ReleasePos() { --m_iPosFree; }
    int x_ParseDocument();
    bool x_ParseStartTag(int iPos, int iPosParent, int& result);
    bool x_ParseEndTag(int iPos);
    bool x_SkipNode(int nAt, int& nAfter) const;
    bool x_FindAttrib(CXmlToken& token, int iPos, std::string_view name) const;
    int x_FindElem(int iPosParent, int iPos, std::string_view name) const;
    std::string x_TagName(int iPos) const;
    bool x_AddElem(std::string_view name, std::string_view data, bool bChild);
    bool x_SetAttrib(int iPos, std::string_view name, std::string_view value);
    void x_Adjust(int iPos, int nShift);
    int x_FindByte(int nFrom, char c) const;
    int x_FindString(int nFrom, std::string_view what) const;
    void x_SetError(const char* format, std::string_view name);

    std::string m_strDoc;
    std::string m_strError;
    std::vector<CXmlElementPos> m_aPos;
    int m_iPosParent = 0;
    int m_iPos = 0;
    int m_iPosChild = 0;
    int m_nNodeType = 0; // 1 when the current position holds an element
    int m_iPosFree = 1;
};

} // namespace talvex
