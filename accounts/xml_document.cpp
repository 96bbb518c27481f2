#include "accounts/xml_document.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {
namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsDelimiter(char c)
{
    switch (c) {
    case ' ': case '\t': case '\n': case '\r': case '<': case '>': case '=':
    case '\\': case '/': case '?': case '!':
        return true;
    default:
        return false;
    }
}

bool IsLeadByte(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x81 && b <= 0xFE;
}

bool IsTrailByte(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x41 && b <= 0xFE;
}

// Length of the character at n: 2 for a lead byte followed by a trail byte, else 1.
int CharLen(const std::string& s, int n)
{
    const auto u = static_cast<size_t>(n);
    if (IsLeadByte(s[u]) && u + 1 < s.size() && IsTrailByte(s[u + 1]))
        return 2;
    return 1;
}

int Size(const std::string& s)
{
    return static_cast<int>(s.size());
}

// Names the program writes: not empty, no byte that would end or break a tag.
bool IsValidName(std::string_view name)
{
    if (name.empty() || name.size() > 256)
        return false;
    for (char c : name)
        if (IsDelimiter(c) || c == '"' || c == '\'' || c == '&' || c == '[' || c == ']')
            return false;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Token scanner

bool CXmlToken::FindAny()
{
    const std::string& s = *pText;
    const int size = Size(s);
    int n = nNext;
    while (n < size && IsSpace(s[static_cast<size_t>(n)]))
        ++n;
    bIsString = false;
    if (n >= size) {
        nL = nR = nNext = size;
        return false;
    }
    const char c = s[static_cast<size_t>(n)];
    if (c == '"' || c == '\'') {
        bIsString = true;
        nL = n + 1;
        int m = nL;
        while (m < size && s[static_cast<size_t>(m)] != c)
            m += CharLen(s, m);
        if (m >= size) {
            nR = size - 1;
            nNext = size;
        } else {
            nR = m - 1;
            nNext = m + 1;
        }
        return true;
    }
    nL = n;
    if (IsDelimiter(c)) {
        nR = n;
        nNext = n + 1;
        return true;
    }
    int m = n;
    while (m < size && !IsDelimiter(s[static_cast<size_t>(m)]))
        m += CharLen(s, m);
    if (m > size)
        m = size;
    nR = m - 1;
    nNext = m;
    return true;
}

bool CXmlToken::Match(std::string_view name) const
{
    const int len = Length();
    if (len <= 0 || static_cast<size_t>(len) > name.size())
        return false;
    if (pText->compare(static_cast<size_t>(nL), static_cast<size_t>(len), name.data(), static_cast<size_t>(len)) != 0)
        return false;
    if (static_cast<size_t>(len) == name.size())
        return true;
    const char next = name[static_cast<size_t>(len)];
    return next == ' ' || next == '=' || next == '/' || next == '[';
}

std::string_view CXmlToken::View() const
{
    if (nR < nL)
        return {};
    return std::string_view(*pText).substr(static_cast<size_t>(nL), static_cast<size_t>(nR - nL + 1));
}

// ---------------------------------------------------------------------------------------
// Document

CXmlDocument::CXmlDocument() : m_aPos(8) {}

int CXmlDocument::x_GetFreePos()
{
    if (m_iPosFree >= kMaxElements)
        return -1;
    if (static_cast<size_t>(m_iPosFree) >= m_aPos.size())
        m_aPos.resize(static_cast<size_t>(m_iPosFree + m_iPosFree / 2));
    const int i = m_iPosFree++;
    m_aPos[static_cast<size_t>(i)] = CXmlElementPos{};
    return i;
}

int CXmlDocument::x_FindByte(int nFrom, char c) const
{
    const int size = Size(m_strDoc);
    for (int n = nFrom; n < size; n += CharLen(m_strDoc, n))
        if (m_strDoc[static_cast<size_t>(n)] == c)
            return n;
    return -1;
}

int CXmlDocument::x_FindString(int nFrom, std::string_view what) const
{
    const int size = Size(m_strDoc);
    for (int n = nFrom; n < size; n += CharLen(m_strDoc, n))
        if (m_strDoc.compare(static_cast<size_t>(n), what.size(), what) == 0)
            return n;
    return -1;
}

void CXmlDocument::x_SetError(const char* format, std::string_view name)
{
    m_strError.clear();
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            m_strError.append(name);
            ++p;
        } else {
            m_strError.push_back(*p);
        }
    }
}

bool CXmlDocument::x_SkipNode(int nAt, int& nAfter) const
{
    const int size = Size(m_strDoc);
    if (nAt + 2 >= size)
        return false;
    const char c1 = m_strDoc[static_cast<size_t>(nAt + 1)];
    const char c2 = m_strDoc[static_cast<size_t>(nAt + 2)];
    int found = -1;
    if (c1 == '?') {
        found = x_FindString(nAt, "?>");
        if (found >= 0)
            nAfter = found + 2;
    } else if (c1 == '!' && c2 == '[') {
        found = x_FindString(nAt + 2, "]]>");
        if (found >= 0)
            nAfter = found + 3;
    } else if (c1 == '!' && c2 == '-') {
        found = x_FindString(nAt + 2, "-->");
        if (found >= 0)
            nAfter = found + 3;
    } else if (c1 == '!') {
        CXmlToken token(m_strDoc, nAt);
        int depth = 0;
        while (token.FindAny()) {
            if (token.bIsString)
                continue;
            if (token.First() == '>' && depth == 0) {
                nAfter = token.nL + 1;
                return true;
            }
            for (int n = token.nL; n <= token.nR; n += CharLen(m_strDoc, n)) {
                const char b = m_strDoc[static_cast<size_t>(n)];
                if (b == '[')
                    ++depth;
                else if (b == ']')
                    --depth;
            }
        }
        return false;
    } else {
        return false;
    }
    return found >= 0;
}

// Parses the start tag of a new element (entry iPos) under iPosParent, skipping any
// declarations, comments, CDATA sections and document type declarations before it.
// result: 0 = an end tag of the parent was met (the entry is given back),
// 1 = an empty element, 2 = a start tag whose children and end tag follow.
bool CXmlDocument::x_ParseStartTag(int iPos, int iPosParent, int& result)
{
    int nScan = m_aPos[static_cast<size_t>(iPosParent)].nEndL;
    CXmlToken token(m_strDoc);
    for (;;) {
        const int nL = x_FindByte(nScan, '<');
        if (nL < 0) {
            if (iPosParent)
                x_SetError("End tag of %s element not found", x_TagName(iPosParent));
            else
                x_SetError("Element tag not found", {});
            return false;
        }
        m_aPos[static_cast<size_t>(iPos)].nStartL = nL;
        m_aPos[static_cast<size_t>(iPosParent)].nEndL = nL;
        token.nNext = nL + 1;
        if (!token.FindAny()) {
            x_SetError("Abrupt end within tag", {});
            return false;
        }
        if (token.bIsString) {
            x_SetError("Tag starts with quote", {});
            return false;
        }
        const char c = token.First();
        if (c == '?' || c == '!') {
            int nAfter = 0;
            if (!x_SkipNode(nL, nAfter)) {
                x_SetError("Invalid node", {});
                return false;
            }
            nScan = nAfter;
            continue;
        }
        if (c == '/') {
            x_ReleasePos();
            result = 0;
            return true;
        }
        break;
    }
    const std::string_view name = token.View();
    // The start tag ends at the first ">" outside quotes, so that a ">" inside an attribute
    // value does not cut the tag short.
    for (;;) {
        if (!token.FindAny()) {
            x_SetError("End of tag not found", name);
            return false;
        }
        if (!token.bIsString && token.First() == '>')
            break;
    }
    CXmlElementPos& e = m_aPos[static_cast<size_t>(iPos)];
    e.iElemParent = iPosParent;
    e.nStartR = token.nL;
    if (m_strDoc[static_cast<size_t>(e.nStartR - 1)] == '/') {
        e.nEndL = e.nStartR - 1;
        e.nEndR = e.nStartR;
        result = 1;
    } else {
        e.nEndL = e.nStartR + 1;
        result = 2;
    }
    return true;
}

// Reads the end tag of element iPos, searched from its end-tag left.
bool CXmlDocument::x_ParseEndTag(int iPos)
{
    const std::string name = x_TagName(iPos);
    const int nL = x_FindByte(m_aPos[static_cast<size_t>(iPos)].nEndL, '<');
    if (nL < 0) {
        x_SetError("End tag of %s element not found", name);
        return false;
    }
    m_aPos[static_cast<size_t>(iPos)].nEndL = nL;
    CXmlToken token(m_strDoc, nL + 1);
    int count = 0;
    while (token.FindAny()) {
        if (token.bIsString)
            continue;
        ++count;
        if (count == 1) {
            if (token.First() != '/') {
                x_SetError("Expecting end tag of element %s", name);
                return false;
            }
        } else if (count == 2) {
            if (!token.Match(name)) {
                x_SetError("End tag does not correspond to %s", name);
                return false;
            }
        } else if (token.First() == '>') {
            m_aPos[static_cast<size_t>(iPos)].nEndR = token.nL;
            return true;
        }
    }
    x_SetError("End tag not completed for element %s", name);
    return false;
}

// Parses the first top-level element and everything inside it without recursion.
// Returns its index, 0 when an end tag came first, -1 on an error.
int CXmlDocument::x_ParseDocument()
{
    struct Open {
        int iPos;
        int iLastChild;
    };
    std::vector<Open> stack;
    int iRoot = x_GetFreePos();
    int result = 0;
    if (!x_ParseStartTag(iRoot, 0, result))
        return -1;
    if (result == 0) {
        x_SetError("Element tag not found", {});
        return -1;
    }
    if (result == 1)
        return iRoot;
    stack.push_back({iRoot, 0});
    while (!stack.empty()) {
        Open& top = stack.back();
        const int iChild = x_GetFreePos();
        if (iChild < 0) {
            x_SetError("Too many elements", {});
            return -1;
        }
        if (!x_ParseStartTag(iChild, top.iPos, result))
            return -1;
        if (result == 0) {
            const int iDone = top.iPos;
            if (!x_ParseEndTag(iDone))
                return -1;
            stack.pop_back();
            if (!stack.empty())
                m_aPos[static_cast<size_t>(stack.back().iPos)].nEndL = m_aPos[static_cast<size_t>(iDone)].nEndR + 1;
            continue;
        }
        if (top.iLastChild == 0)
            m_aPos[static_cast<size_t>(top.iPos)].iElemChild = iChild;
        else
            m_aPos[static_cast<size_t>(top.iLastChild)].iElemNext = iChild;
        top.iLastChild = iChild;
        if (result == 1) {
            m_aPos[static_cast<size_t>(top.iPos)].nEndL = m_aPos[static_cast<size_t>(iChild)].nEndR + 1;
            continue;
        }
        if (static_cast<int>(stack.size()) >= kMaxDepth) {
            x_SetError("Elements nested too deeply", {});
            return -1;
        }
        stack.push_back({iChild, 0});
    }
    return iRoot;
}

bool CXmlDocument::LoadText(std::string_view text)
{
    m_iPosFree = 1;
    ResetPosition();
    m_strError.clear();
    if (text.size() > kMaxTextSize) {
        m_strDoc.clear();
        m_aPos[0] = CXmlElementPos{};
        x_SetError("Document too large", {});
        return false;
    }
    m_strDoc.assign(text.data(), text.size());
    const size_t want = std::min<size_t>(m_strDoc.size() / 64 + 8, static_cast<size_t>(kMaxElements));
    if (m_aPos.size() < want)
        m_aPos.resize(want);
    m_aPos[0] = CXmlElementPos{};
    if (!m_strDoc.empty()) {
        const int iPos = x_ParseDocument();
        if (iPos > 0) {
            m_aPos[0].iElemChild = iPos;
            ResetPosition();
            return true;
        }
    }
    m_aPos[0] = CXmlElementPos{};
    m_iPosFree = 1;
    ResetPosition();
    return false;
}

bool ReadFileBounded(const std::string& path, size_t maxBytes, std::string& out)
{
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (got == 0)
            break;
        if (out.size() + static_cast<size_t>(got) > maxBytes) {
            ok = false;
            break;
        }
        out.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    if (!ok)
        out.clear();
    return ok;
}

bool WriteFileReplacing(const std::string& path, std::string_view bytes, mode_t mode)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0;
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (ok && left > 0) {
        const ssize_t put = ::write(fd, p, left);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        p += put;
        left -= static_cast<size_t>(put);
    }
    if (ok && ::fsync(fd) != 0)
        ok = false;
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool CXmlDocument::LoadFile(const std::string& path)
{
    std::string data;
    if (!ReadFileBounded(path, kMaxTextSize, data)) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && static_cast<unsigned long long>(st.st_size) > kMaxTextSize)
            m_strError = "Document too large";
        return false;
    }
    return LoadText(data);
}

bool CXmlDocument::SaveFile(const std::string& path, mode_t mode) const
{
    return WriteFileReplacing(path, m_strDoc, mode);
}

// ---------------------------------------------------------------------------------------
// Cursor

void CXmlDocument::ResetPosition()
{
    m_iPosParent = 0;
    m_iPos = 0;
    m_iPosChild = 0;
    m_nNodeType = 0;
}

int CXmlDocument::x_FindElem(int iPosParent, int iPos, std::string_view name) const
{
    int i = iPos ? m_aPos[static_cast<size_t>(iPos)].iElemNext : m_aPos[static_cast<size_t>(iPosParent)].iElemChild;
    while (i) {
        if (name.empty())
            return i;
        CXmlToken token(m_strDoc, m_aPos[static_cast<size_t>(i)].nStartL + 1);
        if (token.FindAny() && !token.bIsString && token.Match(name))
            return i;
        i = m_aPos[static_cast<size_t>(i)].iElemNext;
    }
    return 0;
}

std::string CXmlDocument::x_TagName(int iPos) const
{
    if (!iPos)
        return {};
    CXmlToken token(m_strDoc, m_aPos[static_cast<size_t>(iPos)].nStartL + 1);
    if (!token.FindAny() || token.bIsString)
        return {};
    return std::string(token.View());
}

bool CXmlDocument::FindSibling(std::string_view name)
{
    const int i = x_FindElem(m_iPosParent, m_iPos, name);
    if (!i)
        return false;
    m_iPos = i;
    m_iPosChild = 0;
    m_nNodeType = 1;
    return true;
}

bool CXmlDocument::FindChild(std::string_view name)
{
    if (!m_iPos && !FindSibling())
        return false;
    const int i = x_FindElem(m_iPos, m_iPosChild, name);
    if (!i)
        return false;
    m_iPosChild = i;
    m_nNodeType = m_iPos ? 1 : 0;
    return true;
}

bool CXmlDocument::EnterElement()
{
    if (!m_iPos || !m_nNodeType)
        return false;
    m_iPosParent = m_iPos;
    m_iPos = m_iPosChild;
    m_iPosChild = 0;
    m_nNodeType = m_iPos ? 1 : 0;
    return true;
}

bool CXmlDocument::LeaveElement()
{
    if (!m_iPosParent)
        return false;
    m_iPosChild = m_iPos;
    m_iPos = m_iPosParent;
    m_iPosParent = m_aPos[static_cast<size_t>(m_iPos)].iElemParent;
    m_nNodeType = 1;
    return true;
}

std::string CXmlDocument::Name() const
{
    return x_TagName(m_iPos);
}

std::string CXmlDocument::ChildName() const
{
    return x_TagName(m_iPosChild);
}

bool CXmlDocument::x_FindAttrib(CXmlToken& token, int iPos, std::string_view name) const
{
    const CXmlElementPos& e = m_aPos[static_cast<size_t>(iPos)];
    token.nNext = e.nStartL + 1;
    int count = 0;
    int matched = -1;
    while (token.FindAny()) {
        if (token.nL > e.nStartR)
            return false;
        ++count;
        if (!token.bIsString) {
            const char c = token.First();
            if (c == '>' || c == '/')
                return false;
            if (count > 1 && c != '=' && matched < 0) {
                if (name.empty())
                    return true;
                if (token.Match(name))
                    matched = count;
            }
        } else if (matched > 0 && count == matched + 2) {
            return true;
        }
    }
    return false;
}

std::string CXmlDocument::ChildAttribute(std::string_view name) const
{
    if (!m_iPosChild || !m_nNodeType)
        return {};
    CXmlToken token(m_strDoc);
    if (!x_FindAttrib(token, m_iPosChild, name))
        return {};
    return DecodeText(token.View());
}

bool CXmlDocument::SetChildAttribute(std::string_view name, std::string_view value)
{
    return x_SetAttrib(m_iPosChild, name, value);
}

bool CXmlDocument::AppendSibling(std::string_view name, std::string_view data)
{
    return x_AddElem(name, data, false);
}

bool CXmlDocument::AppendChild(std::string_view name, std::string_view data)
{
    return x_AddElem(name, data, true);
}

// ---------------------------------------------------------------------------------------
// Entities

std::string CXmlDocument::EncodeText(std::string_view value, bool bAttribute)
{
    // Every byte that is escaped lies below 0x41, so it can never be the trail byte of a
    // double-byte character: a plain byte walk is enough.
    std::string out;
    out.reserve(value.size() + value.size() / 8);
    for (char c : value) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '&': out += "&amp;"; break;
        case '>': out += "&gt;"; break;
        case '\'':
            if (bAttribute)
                out += "&apos;";
            else
                out += c;
            break;
        case '"':
            if (bAttribute)
                out += "&quot;";
            else
                out += c;
            break;
        default: out += c; break;
        }
    }
    return out;
}

std::string CXmlDocument::DecodeText(std::string_view value)
{
    static constexpr struct {
        std::string_view name;
        char c;
    } kEntities[] = {{"lt;", '<'}, {"amp;", '&'}, {"gt;", '>'}, {"apos;", '\''}, {"quot;", '"'}};
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c != '&') {
            out += c;
            continue;
        }
        bool decoded = false;
        for (const auto& entity : kEntities) {
            if (value.substr(i + 1, entity.name.size()) == entity.name) {
                out += entity.c;
                i += entity.name.size();
                decoded = true;
                break;
            }
        }
        if (!decoded)
            out += c;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Editing

// Shifts every element after iPos in document order by nShift: its descendants and following
// elements entirely, its ancestors at their end tags only.
void CXmlDocument::x_Adjust(int iPos, int nShift)
{
    auto shiftAll = [&](int i) {
        CXmlElementPos& e = m_aPos[static_cast<size_t>(i)];
        e.nStartL += nShift;
        e.nStartR += nShift;
        e.nEndL += nShift;
        e.nEndR += nShift;
    };
    auto shiftSubtree = [&](int top) {
        int i = top;
        for (;;) {
            shiftAll(i);
            if (m_aPos[static_cast<size_t>(i)].iElemChild) {
                i = m_aPos[static_cast<size_t>(i)].iElemChild;
                continue;
            }
            while (i != top && !m_aPos[static_cast<size_t>(i)].iElemNext)
                i = m_aPos[static_cast<size_t>(i)].iElemParent;
            if (i == top)
                break;
            i = m_aPos[static_cast<size_t>(i)].iElemNext;
        }
    };
    for (int c = m_aPos[static_cast<size_t>(iPos)].iElemChild; c; c = m_aPos[static_cast<size_t>(c)].iElemNext)
        shiftSubtree(c);
    int i = iPos;
    while (i) {
        for (int s = m_aPos[static_cast<size_t>(i)].iElemNext; s; s = m_aPos[static_cast<size_t>(s)].iElemNext)
            shiftSubtree(s);
        i = m_aPos[static_cast<size_t>(i)].iElemParent;
        if (i) {
            m_aPos[static_cast<size_t>(i)].nEndL += nShift;
            m_aPos[static_cast<size_t>(i)].nEndR += nShift;
        }
    }
}

bool CXmlDocument::x_SetAttrib(int iPos, std::string_view name, std::string_view value)
{
    if (!iPos || !m_nNodeType || !IsValidName(name))
        return false;
    const std::string encoded = EncodeText(value, true);
    CXmlToken token(m_strDoc);
    size_t at = 0;
    size_t replace = 0;
    std::string insert;
    CXmlElementPos& e = m_aPos[static_cast<size_t>(iPos)];
    if (x_FindAttrib(token, iPos, name)) {
        at = static_cast<size_t>(token.nL);
        replace = static_cast<size_t>(token.Length());
        insert = encoded;
    } else {
        insert.reserve(name.size() + encoded.size() + 4);
        insert += ' ';
        insert += name;
        insert += "=\"";
        insert += encoded;
        insert += '"';
        at = static_cast<size_t>(e.IsEmptyElement() ? e.nStartR - 1 : e.nStartR);
    }
    if (m_strDoc.size() - replace + insert.size() > kMaxTextSize)
        return false;
    m_strDoc.replace(at, replace, insert);
    const int shift = static_cast<int>(insert.size()) - static_cast<int>(replace);
    e.nStartR += shift;
    e.nEndL += shift;
    e.nEndR += shift;
    x_Adjust(iPos, shift);
    return true;
}

bool CXmlDocument::x_AddElem(std::string_view name, std::string_view data, bool bChild)
{
    if (!IsValidName(name))
        return false;
    int iPosParent = 0;
    int iPosBefore = 0;
    if (bChild) {
        if (!m_iPos)
            return false;
        iPosParent = m_iPos;
        iPosBefore = m_iPosChild;
    } else {
        iPosParent = m_iPosParent;
        iPosBefore = m_iPos;
        if (!iPosParent) {
            if (m_aPos[0].iElemChild)
                return false;
            m_aPos[0].nEndL = Size(m_strDoc);
        }
    }

    const CXmlElementPos parent = m_aPos[static_cast<size_t>(iPosParent)];
    const bool bEmptyParent = iPosParent && parent.IsEmptyElement();
    int nOffset = 0;
    if (iPosBefore)
        nOffset = m_aPos[static_cast<size_t>(iPosBefore)].nEndR + 1;
    else if (bEmptyParent)
        nOffset = parent.nStartR;
    else
        nOffset = parent.nEndL;
    if (!bEmptyParent) {
        CXmlToken token(m_strDoc, nOffset);
        if (token.FindAny()) {
            if (!token.bIsString && token.First() == '<')
                nOffset = token.nL;
        } else {
            nOffset = Size(m_strDoc);
        }
    }

    const std::string encoded = EncodeText(data, false);
    const int nameLen = static_cast<int>(name.size());
    CXmlElementPos add;
    std::string text;
    add.nStartL = nOffset;
    if (!data.empty()) {
        text.reserve(name.size() * 2 + encoded.size() + 7);
        text += '<';
        text += name;
        text += '>';
        text += encoded;
        text += "</";
        text += name;
        text += ">\r\n";
        add.nStartR = nOffset + nameLen + 1;
        add.nEndL = add.nStartR + static_cast<int>(encoded.size()) + 1;
        add.nEndR = add.nEndL + nameLen + 2;
    } else {
        text += '<';
        text += name;
        text += "/>\r\n";
        add.nStartR = nOffset + nameLen + 2;
        add.nEndL = add.nStartR - 1;
        add.nEndR = add.nEndL + 1;
    }

    size_t replace = 0;
    std::string insert;
    std::string parentName;
    if (bEmptyParent) {
        // Open the empty parent: its "/" becomes ">", the new element on a line of its own
        // and the parent's end tag.
        parentName = x_TagName(iPosParent);
        insert.reserve(text.size() + parentName.size() + 5);
        insert += ">\r\n";
        insert += text;
        insert += "</";
        insert += parentName;
        nOffset = parent.nStartR - 1;
        replace = 1;
        add.nStartL += 2;
        add.nStartR += 2;
        add.nEndL += 2;
        add.nEndR += 2;
    } else {
        insert = std::move(text);
    }
    if (m_strDoc.size() - replace + insert.size() > kMaxTextSize)
        return false;

    const int iPos = x_GetFreePos();
    if (iPos < 0)
        return false;
    m_strDoc.replace(static_cast<size_t>(nOffset), replace, insert);
    add.iElemParent = iPosParent;
    if (iPosBefore) {
        add.iElemNext = m_aPos[static_cast<size_t>(iPosBefore)].iElemNext;
        m_aPos[static_cast<size_t>(iPosBefore)].iElemNext = iPos;
    } else {
        int last = m_aPos[static_cast<size_t>(iPosParent)].iElemChild;
        if (!last) {
            m_aPos[static_cast<size_t>(iPosParent)].iElemChild = iPos;
        } else {
            while (m_aPos[static_cast<size_t>(last)].iElemNext)
                last = m_aPos[static_cast<size_t>(last)].iElemNext;
            m_aPos[static_cast<size_t>(last)].iElemNext = iPos;
        }
    }
    m_aPos[static_cast<size_t>(iPos)] = add;

    const int shift = static_cast<int>(insert.size()) - static_cast<int>(replace);
    if (bEmptyParent)
        m_aPos[static_cast<size_t>(iPosParent)].nStartR -= 1;
    x_Adjust(iPos, shift);
    if (bEmptyParent) {
        CXmlElementPos& p = m_aPos[static_cast<size_t>(iPosParent)];
        p.nEndR = nOffset + static_cast<int>(insert.size());
        p.nEndL = p.nEndR - static_cast<int>(parentName.size()) - 2;
    }

    if (bChild) {
        m_iPosChild = iPos;
    } else {
        m_iPos = iPos;
        m_iPosChild = 0;
    }
    m_nNodeType = 1;
    return true;
}

} // namespace talvex
