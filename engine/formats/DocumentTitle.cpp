// The title and author found documents are reported with, and the Office
// Open XML core properties parser (pugixml).
#include <pugixml.hpp>

#include "engine/formats/DocumentProviders.h"
#include "platform/Text.h"

namespace {

std::u16string_view TrimSpaces(std::u16string_view s) {
    while (!s.empty() && s.front() == u' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == u' ') s.remove_suffix(1);
    return s;
}

// The first n units of s; one less when unit n - 1 is the first half of a
// surrogate pair.
std::u16string_view Cut(std::u16string_view s, size_t n) {
    if (s.size() <= n) return s;
    if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
    return s.substr(0, n);
}

std::string_view LocalName(const char* name) {
    std::string_view n(name);
    const size_t colon = n.rfind(':');
    return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

// The text of an element: its character data and that of its descendants,
// in document order.
void AppendText(const pugi::xml_node& node, std::string& out) {
    for (pugi::xml_node child : node.children()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            out += child.value();
        else if (child.type() == pugi::node_element)
            AppendText(child, out);
    }
}

// The root element of the XML in data, or a null node when it is not XML.
// No DOCTYPE handling beyond skipping: pugixml never fetches entities.
pugi::xml_node LoadRoot(pugi::xml_document& doc, const uint8_t* data, size_t size) {
    if (!doc.load_buffer(data, size, pugi::parse_default, pugi::encoding_auto)) return {};
    return doc.document_element();
}

}  // namespace

DocumentProperties ShownDocumentProperties(const DocumentProperties& properties) {
    DocumentProperties shown;
    shown.title = Cut(TrimSpaces(properties.title), kDocumentTitleMax);
    shown.creator = Cut(TrimSpaces(properties.creator), kDocumentAuthorMax);
    return shown;
}

bool ParseCoreProperties(const uint8_t* data, size_t size, DocumentProperties& properties) {
    pugi::xml_document doc;
    const pugi::xml_node root = LoadRoot(doc, data, size);
    if (!root) return false;
    for (pugi::xml_node child : root.children()) {
        if (child.type() != pugi::node_element) continue;
        const std::string_view local = LocalName(child.name());
        if (local != "title" && local != "creator") continue;
        std::string text;
        AppendText(child, text);
        (local == "title" ? properties.title : properties.creator) = Utf8ToUtf16(text);
    }
    return true;
}

bool ParseOpenDocumentMeta(const uint8_t* data, size_t size, DocumentProperties& properties) {
    pugi::xml_document doc;
    const pugi::xml_node root = LoadRoot(doc, data, size);
    if (!root) return false;
    std::string initialCreator, creator;
    bool haveInitial = false, haveCreator = false;
    for (pugi::xml_node meta : root.children()) {
        if (meta.type() != pugi::node_element || LocalName(meta.name()) != "meta") continue;
        for (pugi::xml_node child : meta.children()) {
            if (child.type() != pugi::node_element) continue;
            const std::string_view local = LocalName(child.name());
            std::string text;
            if (local == "title") {
                AppendText(child, text);
                properties.title = Utf8ToUtf16(text);
            } else if (local == "initial-creator") {
                AppendText(child, initialCreator);
                haveInitial = true;
            } else if (local == "creator") {
                AppendText(child, creator);
                haveCreator = true;
            }
        }
        break;
    }
    if (haveInitial) properties.creator = Utf8ToUtf16(initialCreator);
    else if (haveCreator) properties.creator = Utf8ToUtf16(creator);
    return true;
}
