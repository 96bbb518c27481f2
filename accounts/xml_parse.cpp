// The XML document's parser: tokens, tags and the element tree built from a text.

#include "accounts/xml_document.h"

#include "accounts/xml_chars.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace talvex {

using namespace xml;

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

} // namespace talvex
