#include "host/html_page.h"

#include <gumbo.h>

#include <memory>

#include <stringapiset.h>

namespace bf::host {
namespace {

struct OutputDeleter {
    void operator()(GumboOutput* o) const { gumbo_destroy_output(&kGumboDefaultOptions, o); }
};

std::u16string attr16(const GumboElement& e, const char* name, bool* present = nullptr) {
    const GumboAttribute* a = gumbo_get_attribute(&e.attributes, name);
    if (present) *present = a != nullptr;
    return a ? bf::to_utf16(a->value) : std::u16string();
}

std::string attr8(const GumboElement& e, const char* name) {
    const GumboAttribute* a = gumbo_get_attribute(&e.attributes, name);
    return a ? std::string(a->value) : std::string();
}

bool has_attr(const GumboElement& e, const char* name) { return gumbo_get_attribute(&e.attributes, name) != nullptr; }

std::u16string upper_ascii(std::u16string s) {
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

std::u16string tag_name(const GumboElement& e) {
    if (e.tag != GUMBO_TAG_UNKNOWN) return upper_ascii(bf::to_utf16(gumbo_normalized_tagname(e.tag)));
    GumboStringPiece piece = e.original_tag;
    gumbo_tag_from_original_text(&piece);
    return upper_ascii(bf::to_utf16(std::string_view(piece.data, piece.length)));
}

std::u16string text_content(const GumboNode* node) {
    if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE || node->type == GUMBO_NODE_CDATA)
        return bf::to_utf16(node->v.text.text);
    std::u16string out;
    if (node->type == GUMBO_NODE_ELEMENT) {
        const GumboVector& kids = node->v.element.children;
        for (unsigned i = 0; i < kids.length; ++i) out += text_content(static_cast<const GumboNode*>(kids.data[i]));
    }
    return out;
}

class Builder {
public:
    explicit Builder(HtmlPage& page) : page_(page) {}

    // Iterative walk: hostile pages may nest deeply enough to exhaust a recursive one.
    void walk(const GumboNode* root) {
        struct Frame {
            const GumboNode* node;
            unsigned next;
            int form_before;
        };
        std::vector<Frame> stack;
        enter(root);
        stack.push_back({root, 0, -1});
        while (!stack.empty()) {
            Frame& top = stack.back();
            const GumboNode* node = top.node;
            const GumboVector* kids = node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_DOCUMENT
                                          ? (node->type == GUMBO_NODE_ELEMENT ? &node->v.element.children
                                                                              : &node->v.document.children)
                                          : nullptr;
            bool descend = kids && top.next < kids->length && !is_opaque(node);
            if (!descend) {
                leave(node, top.form_before);
                stack.pop_back();
                continue;
            }
            const auto* child = static_cast<const GumboNode*>(kids->data[top.next++]);
            if (child->type != GUMBO_NODE_ELEMENT) continue;
            int before = form_;
            enter(child);
            stack.push_back({child, 0, before});
        }
    }

private:
    // SELECT and TEXTAREA are read as a whole; TEMPLATE content is not part of the document.
    static bool is_opaque(const GumboNode* n) {
        if (n->type != GUMBO_NODE_ELEMENT) return false;
        GumboTag t = n->v.element.tag;
        return t == GUMBO_TAG_TEXTAREA || t == GUMBO_TAG_SELECT || t == GUMBO_TAG_TEMPLATE;
    }

    void enter(const GumboNode* node) {
        if (node->type != GUMBO_NODE_ELEMENT) return;
        const GumboElement& e = node->v.element;
        HtmlElement el;
        el.tag = tag_name(e);
        el.id = attr16(e, "id");
        switch (e.tag) {
        case GUMBO_TAG_FORM: {
            HtmlForm f;
            f.id = el.id;
            f.name = attr16(e, "name");
            f.action = attr16(e, "action");
            f.method = attr16(e, "method");
            f.enctype = attr16(e, "enctype");
            page_.forms.push_back(std::move(f));
            form_ = static_cast<int>(page_.forms.size() - 1);
            break;
        }
        case GUMBO_TAG_INPUT: {
            HtmlInput in;
            in.type_attribute = attr16(e, "type", &in.has_type);
            in.id = el.id;
            in.name = attr16(e, "name");
            in.value = attr16(e, "value");
            in.checked = has_attr(e, "checked");
            in.disabled = has_attr(e, "disabled");
            in.form = form_;
            page_.inputs.push_back(std::move(in));
            page_.input_order.push_back(controls_++);
            el.input = static_cast<int>(page_.inputs.size() - 1);
            break;
        }
        case GUMBO_TAG_TEXTAREA: {
            std::u16string text = text_content(node);
            // The parser keeps the first line break; a textarea's value does not.
            if (!text.empty() && text.front() == u'\n') text.erase(0, 1);
            page_.others.push_back({attr16(e, "name"), std::move(text), has_attr(e, "disabled"), form_, controls_++});
            break;
        }
        case GUMBO_TAG_SELECT:
            page_.others.push_back({attr16(e, "name"), select_value(node), has_attr(e, "disabled"), form_, controls_++});
            break;
        case GUMBO_TAG_FRAME:
        case GUMBO_TAG_IFRAME:
            page_.frame_sources.push_back(attr8(e, "src"));
            break;
        case GUMBO_TAG_BASE:
            if (page_.base_href.empty() && has_attr(e, "href")) page_.base_href = attr8(e, "href");
            break;
        case GUMBO_TAG_TITLE:
            if (page_.title.empty()) page_.title = text_content(node);
            break;
        default:
            break;
        }
        page_.elements.push_back(std::move(el));
    }

    void leave(const GumboNode* node, int form_before) {
        if (node->type == GUMBO_NODE_ELEMENT && node->v.element.tag == GUMBO_TAG_FORM) form_ = form_before;
    }

    // The first selected option, else the first option; an option's value defaults to its text.
    static std::u16string select_value(const GumboNode* select) {
        const GumboNode* first = nullptr;
        const GumboNode* chosen = nullptr;
        std::vector<const GumboNode*> todo{select};
        while (!todo.empty() && !chosen) {
            const GumboNode* n = todo.back();
            todo.pop_back();
            if (n->type != GUMBO_NODE_ELEMENT) continue;
            if (n->v.element.tag == GUMBO_TAG_OPTION) {
                if (!first) first = n;
                if (has_attr(n->v.element, "selected")) chosen = n;
                continue;
            }
            const GumboVector& kids = n->v.element.children;
            for (unsigned i = kids.length; i > 0; --i) todo.push_back(static_cast<const GumboNode*>(kids.data[i - 1]));
        }
        const GumboNode* opt = chosen ? chosen : first;
        if (!opt) return {};
        bool present = false;
        std::u16string v = attr16(opt->v.element, "value", &present);
        return present ? v : text_content(opt);
    }

    HtmlPage& page_;
    int form_ = -1;
    size_t controls_ = 0;
};

}  // namespace

HtmlPage parse_html(std::string_view html) {
    HtmlPage page;
    std::unique_ptr<GumboOutput, OutputDeleter> out(
        gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size()));
    if (!out) return page;
    Builder(page).walk(out->document);
    return page;
}

std::u16string reported_input_type(const HtmlInput& input) {
    if (!input.has_type) return u"text";
    std::u16string t = input.type_attribute;
    for (auto& c : t)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    static const char16_t* const kKnown[] = {u"text",  u"password", u"checkbox", u"radio", u"submit",
                                             u"reset", u"file",     u"hidden",   u"image", u"button"};
    for (const char16_t* k : kKnown)
        if (t == k) return t;
    return u"text";
}

}  // namespace bf::host
