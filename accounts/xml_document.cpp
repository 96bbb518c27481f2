#include "accounts/xml_document.h"

#include "accounts/xml_chars.h"
#include "platform/whole_file.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace talvex {

using namespace xml;

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
