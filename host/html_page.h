// A fetched page as the host keeps it: every element in document order (for the document's
// "all" collection), its INPUT elements with their current values, the forms and the other
// controls a form submits, and the frame sources. Built from HTML by gumbo.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bf::host {

struct HtmlElement {
    std::u16string tag;  // upper case, as the original document model reports tag names
    std::u16string id;
    int input = -1;      // index into HtmlPage::inputs when this is an INPUT element
};

struct HtmlInput {
    std::u16string type_attribute;  // as written
    bool has_type = false;
    std::u16string id;
    std::u16string name;
    std::u16string value;           // current value: starts from the value attribute
    bool checked = false;
    bool disabled = false;
    int form = -1;                  // owning form, -1 for none
};

// TEXTAREA and SELECT: not part of the INPUT collection, but submitted with their form.
struct HtmlOtherControl {
    std::u16string name;
    std::u16string value;
    bool disabled = false;
    int form = -1;
    size_t order = 0;  // position among all controls, for submission order
};

struct HtmlForm {
    std::u16string id;
    std::u16string name;
    std::u16string action;   // as written; empty means the document's own address
    std::u16string method;   // as written
    std::u16string enctype;  // as written
};

struct HtmlPage {
    std::u16string title;
    std::string base_href;            // first <base href>, UTF-8, unresolved
    std::vector<HtmlElement> elements;
    std::vector<HtmlInput> inputs;
    std::vector<size_t> input_order;  // position of each input among all controls
    std::vector<HtmlOtherControl> others;
    std::vector<HtmlForm> forms;
    std::vector<std::string> frame_sources;  // <frame>/<iframe> src in document order, UTF-8; "" when absent
};

// Parses UTF-8 HTML (invalid bytes are replaced); never fails.
HtmlPage parse_html(std::string_view html);

// The type an INPUT reports: its lower-cased type attribute when that is one of the kinds the
// original browser knew (text, password, checkbox, radio, submit, reset, file, hidden, image,
// button), else "text" -- so type="email" reads as "text".
std::u16string reported_input_type(const HtmlInput& input);

}  // namespace bf::host
