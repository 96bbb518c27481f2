// XML documents: parse, walk every element, then edit and check that the edited text parses
// to the same tree again.
#include "accounts/xml_document.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using talvex::CXmlDocument;

namespace {
int Walk(CXmlDocument& doc, int depth)
{
    int count = 0;
    while (doc.FindChild()) {
        ++count;
        doc.ChildName();
        doc.ChildAttribute("Name");
        if (depth < 64 && doc.EnterElement()) {
            count += Walk(doc, depth + 1);
            doc.LeaveElement();
        }
    }
    return count;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CXmlDocument doc;
    if (!doc.LoadText(std::string_view(reinterpret_cast<const char*>(data), size)))
        return 0;
    doc.ResetPosition();
    if (doc.FindSibling()) {
        doc.EnterElement();
        Walk(doc, 0);
        doc.ResetPosition();
        doc.FindSibling();
        doc.AppendChild("User");
        doc.SetChildAttribute("Name", "a<b>&\"c'");
        doc.SetChildAttribute("ID", std::string_view(reinterpret_cast<const char*>(data), size < 16 ? size : 16));
    }
    CXmlDocument again;
    if (!again.LoadText(doc.Text()))
        __builtin_trap(); // an edit must never make the document unreadable
    return 0;
}
