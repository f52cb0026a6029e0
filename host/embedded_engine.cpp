#include "host/embedded_engine.h"

#include <algorithm>

#include "host/html_document.h"
#include "host/page_loader.h"
#include "host/url.h"
#include <stringapiset.h>

namespace bf::host {
namespace {

constexpr int kFrameDepth = 3;         // frames inside frames inside frames, no deeper
constexpr size_t kFramesPerPage = 64;  // a page cannot make the browser fetch without end

std::u16string lower_ascii(std::u16string s) {
    for (auto& c : s)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
}

std::string error_page(const std::string& url, const std::string& why) {
    auto escape = [](const std::string& s) {
        std::string out;
        for (char c : s) {
            switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            default: out += c;
            }
        }
        return out;
    };
    return "<html><head><title>Cannot display the page</title></head><body><h1>Cannot display the page</h1><p>" +
           escape(url) + "</p><p>" + escape(why) + "</p></body></html>";
}

class EmbeddedEngine final : public BrowserEngine {
public:
    bool start(EngineHost& host, std::string*) override {
        host_ = &host;
        return true;
    }

    void navigate(const NavigationRequest& request) override {
        ComPtr<WebBrowser> top(&host_->browser());  // a sink may close nothing, but keep the object steady
        if (!host_->before_navigate(*top, request)) return;
        Loaded page = load(request);
        std::vector<FrameNode> old;
        old.swap(frames_);
        for (auto& f : old) detach_frames(f);
        top->set_document(page.url, page.state);
        host_->complete_event(DISPID_NAVIGATECOMPLETE2, *top, page.url);
        size_t budget = kFramesPerPage;
        load_frames(*page.state, 1, frames_, budget);
        host_->complete_event(DISPID_DOCUMENTCOMPLETE, *top, page.url);
    }

    bool settle(std::string*) override { return true; }
    bool idle() override { return true; }
    void on_wake() override {}

    FieldsReport fields() override {
        FieldsReport report;
        report.url = host_->browser().location();
        report.inputs = inputs_of(host_->browser().document_state());
        for (const auto& f : frames_) add_frames(f, report.frames);
        return report;
    }

    bool has_field(const std::string& field, std::string*) override {
        auto state = host_->browser().document_state();
        return state && find_input(*state, field);
    }

    bool set_field(const std::string& field, const std::string& text, std::string* error) override {
        auto state = host_->browser().document_state();
        HtmlInput* input = state ? find_input(*state, field) : nullptr;
        if (!input) {
            *error = "no INPUT with id or name '" + field + "' in the page";
            return false;
        }
        input->value = bf::to_utf16(text);
        return true;
    }

    bool submit(const std::string& field, std::string* error) override {
        auto state = host_->browser().document_state();
        if (!state) {
            *error = "no page is loaded";
            return false;
        }
        int form = -1;
        if (!field.empty()) {
            HtmlInput* input = find_input(*state, field);
            if (!input) {
                *error = "no INPUT with id or name '" + field + "' in the page";
                return false;
            }
            form = input->form;
            if (form < 0) {
                *error = "the field '" + field + "' belongs to no form";
                return false;
            }
        } else if (!state->page.forms.empty()) {
            form = 0;
        } else {
            *error = "the page has no form";
            return false;
        }
        NavigationRequest r;
        if (!build_submission(*state, static_cast<size_t>(form), &r, error)) return false;
        host_->request_navigation(std::move(r));
        return true;
    }

    bool page_image(std::string*, std::string* error) override {
        error->clear();  // this engine draws no pages
        return false;
    }

    void close() override {
        for (auto& f : frames_) detach_frames(f);
        frames_.clear();
    }

    std::string failure() override { return {}; }

private:
    struct FrameNode {
        ComPtr<WebBrowser> object;
        std::vector<FrameNode> children;
    };
    struct Loaded {
        std::string url;
        std::shared_ptr<DocumentState> state;
    };

    static std::vector<InputReport> inputs_of(const std::shared_ptr<DocumentState>& state) {
        std::vector<InputReport> out;
        if (!state) return out;
        for (const auto& in : state->page.inputs) out.push_back({reported_input_type(in), in.id, in.name, in.value});
        return out;
    }

    static void add_frames(const FrameNode& node, std::vector<FrameReport>& out) {
        out.push_back({node.object->location(), inputs_of(node.object->document_state())});
        for (const auto& child : node.children) add_frames(child, out);
    }

    static void detach_frames(FrameNode& node) {
        node.object->detach();
        for (auto& child : node.children) detach_frames(child);
    }

    static HtmlInput* find_input(DocumentState& state, const std::string& field) {
        std::u16string want = bf::to_utf16(field);
        for (auto& in : state.page.inputs)
            if (in.id == want) return &in;
        for (auto& in : state.page.inputs)
            if (in.name == want) return &in;
        return nullptr;
    }

    static std::string base_of(const DocumentState& state) {
        if (!state.page.base_href.empty())
            if (auto b = resolve_url(state.url, state.page.base_href)) return *b;
        return state.url;
    }

    bool build_submission(const DocumentState& state, size_t form, NavigationRequest* r, std::string* error) {
        const HtmlPage& page = state.page;
        const HtmlForm& f = page.forms[form];
        std::vector<std::pair<size_t, std::pair<std::string, std::string>>> ordered;
        for (size_t i = 0; i < page.inputs.size(); ++i) {
            const HtmlInput& in = page.inputs[i];
            if (in.form != static_cast<int>(form) || in.disabled || in.name.empty()) continue;
            std::u16string type = reported_input_type(in);
            if (type == u"submit" || type == u"reset" || type == u"button" || type == u"image" || type == u"file")
                continue;
            std::u16string value = in.value;
            if (type == u"checkbox" || type == u"radio") {
                if (!in.checked) continue;
                if (value.empty()) value = u"on";
            }
            ordered.push_back({page.input_order[i], {bf::to_utf8(in.name), bf::to_utf8(value)}});
        }
        for (const auto& o : page.others)
            if (o.form == static_cast<int>(form) && !o.disabled && !o.name.empty())
                ordered.push_back({o.order, {bf::to_utf8(o.name), bf::to_utf8(o.value)}});
        std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::pair<std::string, std::string>> data;
        for (auto& o : ordered) data.push_back(std::move(o.second));

        std::string base = base_of(state);
        std::optional<std::string> action =
            f.action.empty() ? resolve_url(state.url, "") : resolve_url(base, bf::to_utf8(f.action));
        if (!action) {
            *error = "the form's action '" + bf::to_utf8(f.action) + "' is no address this browser can open";
            return false;
        }
        std::u16string method = lower_ascii(f.method);
        std::u16string enctype = lower_ascii(f.enctype);
        r->referer = state.url;
        if (method == u"post") {
            r->method = "POST";
            r->url = *action;
            if (enctype == u"multipart/form-data") {
                std::string boundary = "----BrackenfoldFormBoundary" + std::to_string(++boundaries_);
                r->body = form_multipart(data, boundary);
                r->content_type = "multipart/form-data; boundary=" + boundary;
            } else if (enctype == u"text/plain") {
                r->body = form_text_plain(data);
                r->content_type = "text/plain";
            } else {
                r->body = form_urlencode(data);
                r->content_type = "application/x-www-form-urlencoded";
            }
            return true;
        }
        auto target = with_query(*action, form_urlencode(data));
        if (!target) {
            *error = "cannot submit to '" + *action + "'";
            return false;
        }
        r->url = *target;
        return true;
    }

    Loaded load(const NavigationRequest& request) {
        auto state = std::make_shared<DocumentState>();
        if (is_about_url(request.url)) {
            state->url = request.url;
            return {request.url, state};
        }
        FetchRequest f;
        f.url = request.url;
        f.method = request.method;
        f.body = request.body;
        f.content_type = request.content_type;
        f.referer = request.referer;
        FetchResult got = fetch_page(f);
        if (!got.ok) {
            state->url = request.url;
            state->page = parse_html(error_page(request.url, got.error));
            return {request.url, state};
        }
        state->url = normalise_url(got.url).value_or(got.url);
        state->page = parse_html(got.body);
        return {state->url, state};
    }

    void load_frames(const DocumentState& parent, int depth, std::vector<FrameNode>& into, size_t& budget) {
        if (depth > kFrameDepth) return;
        std::string base = base_of(parent);
        for (const auto& src : parent.page.frame_sources) {
            if (budget == 0 || host_->closed()) return;
            auto url = src.empty() ? std::optional<std::string>("about:blank") : resolve_url(base, src);
            if (!url) continue;  // javascript: and the like load nothing
            --budget;
            FrameNode node{WebBrowser::create(nullptr), {}};
            NavigationRequest request;
            request.url = *url;
            request.referer = parent.url;
            if (host_->before_navigate(*node.object, request)) {
                Loaded page = load(request);
                node.object->set_document(page.url, page.state);
                host_->complete_event(DISPID_NAVIGATECOMPLETE2, *node.object, page.url);
                load_frames(*page.state, depth + 1, node.children, budget);
                host_->complete_event(DISPID_DOCUMENTCOMPLETE, *node.object, page.url);
            }
            into.push_back(std::move(node));
        }
    }

    EngineHost* host_ = nullptr;
    std::vector<FrameNode> frames_;
    unsigned boundaries_ = 0;
};

class EmbeddedFactory final : public EngineFactory {
public:
    std::unique_ptr<BrowserEngine> make_engine() override { return std::make_unique<EmbeddedEngine>(); }
};

}  // namespace

std::unique_ptr<EngineFactory> make_embedded_engine_factory() { return std::make_unique<EmbeddedFactory>(); }

}  // namespace bf::host
