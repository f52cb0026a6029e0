#include "host/native_protocol.h"

#include <limits>

namespace bf::host {
namespace {

using nlohmann::json;

bool get_int(const json& m, const char* key, std::int64_t min, std::int64_t max, std::int64_t* out,
             std::string* error) {
    auto it = m.find(key);
    if (it == m.end() || !it->is_number_integer()) {
        *error = std::string("'") + key + "' must be an integer";
        return false;
    }
    bool in_range;
    std::int64_t v = 0;
    if (it->is_number_unsigned()) {
        auto u = it->get<std::uint64_t>();
        in_range = u <= static_cast<std::uint64_t>(max);
        v = static_cast<std::int64_t>(u);
    } else {
        v = it->get<std::int64_t>();
        in_range = v >= min && v <= max;
    }
    if (!in_range || v < min) {
        *error = std::string("'") + key + "' is out of range";
        return false;
    }
    *out = v;
    return true;
}

bool get_text(const json& m, const char* key, bool required, std::string* out, std::string* error) {
    auto it = m.find(key);
    if (it == m.end()) {
        if (!required) return true;
        *error = std::string("'") + key + "' is missing";
        return false;
    }
    if (!it->is_string() || it->get_ref<const std::string&>().size() > kBrowserTextCap) {
        *error = std::string("'") + key + "' must be a string of at most " + std::to_string(kBrowserTextCap) + " bytes";
        return false;
    }
    *out = it->get<std::string>();
    return true;
}

bool get_tab(const json& m, BrowserMessage* out, std::string* error) {
    return get_int(m, "tab", 0, std::numeric_limits<std::int32_t>::max(), &out->tab, error);
}

bool parse_nav(const json& m, BrowserMessage* out, std::string* error) {
    std::string event;
    if (!get_tab(m, out, error) || !get_text(m, "event", true, &event, error) ||
        !get_int(m, "frame", 0, std::numeric_limits<std::int64_t>::max(), &out->frame, error) ||
        !get_int(m, "parent", -1, std::numeric_limits<std::int64_t>::max(), &out->parent, error) ||
        !get_text(m, "url", true, &out->url, error) || !get_text(m, "transition", false, &out->transition, error))
        return false;
    static const std::pair<const char*, NavEvent> events[] = {
        {"before", NavEvent::before},   {"commit", NavEvent::commit}, {"complete", NavEvent::complete},
        {"error", NavEvent::error},     {"samedocument", NavEvent::same_document},
    };
    bool known = false;
    for (const auto& [name, value] : events) {
        if (event == name) {
            out->event = value;
            known = true;
        }
    }
    if (!known) {
        *error = "unknown navigation event '" + event.substr(0, 64) + "'";
        return false;
    }
    if (out->frame == 0 && out->parent != -1) {
        *error = "the top frame has no parent";
        return false;
    }
    if (auto q = m.find("qualifiers"); q != m.end()) {
        if (!q->is_array() || q->size() > 16) {
            *error = "'qualifiers' must be a list of at most 16 strings";
            return false;
        }
        for (const auto& v : *q) {
            if (!v.is_string() || v.get_ref<const std::string&>().size() > 64) {
                *error = "'qualifiers' must be a list of at most 16 strings";
                return false;
            }
            out->qualifiers.push_back(v.get<std::string>());
        }
    }
    return true;
}

}  // namespace

bool parse_browser_message(std::string_view text, BrowserMessage* out, std::string* error) {
    *out = BrowserMessage{};
    json m = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (m.is_discarded()) {
        *error = "the message is not JSON";
        return false;
    }
    if (!m.is_object()) {
        *error = "the message is not a JSON object";
        return false;
    }
    std::string type;
    if (!get_text(m, "type", true, &type, error)) return false;
    if (type == "hello") {
        out->type = BrowserMessageType::hello;
        return true;
    }
    if (type == "tab.open") {
        out->type = BrowserMessageType::tab_open;
        if (!get_tab(m, out, error) || !get_text(m, "url", false, &out->url, error)) return false;
        if (auto l = m.find("loaded"); l != m.end()) {
            if (!l->is_boolean()) {
                *error = "'loaded' must be true or false";
                return false;
            }
            out->loaded = l->get<bool>();
        }
        return true;
    }
    if (type == "tab.close" || type == "popup.open" || type == "popup.close") {
        out->type = type == "tab.close"    ? BrowserMessageType::tab_close
                    : type == "popup.open" ? BrowserMessageType::popup_open
                                           : BrowserMessageType::popup_close;
        return get_tab(m, out, error);
    }
    if (type == "nav") {
        out->type = BrowserMessageType::nav;
        return parse_nav(m, out, error);
    }
    if (type == "inputs") {
        out->type = BrowserMessageType::inputs;
        return get_tab(m, out, error) && get_text(m, "document", false, &out->document, error);
    }
    if (type == "click") {
        out->type = BrowserMessageType::click;
        std::int64_t x = 0, y = 0;
        if (!get_tab(m, out, error) || !get_int(m, "x", 0, 1 << 16, &x, error) || !get_int(m, "y", 0, 1 << 16, &y, error))
            return false;
        out->x = static_cast<int>(x);
        out->y = static_cast<int>(y);
        return true;
    }
    if (type == "reply") {
        out->type = BrowserMessageType::reply;
        if (!get_int(m, "id", 1, std::numeric_limits<std::int64_t>::max(), &out->id, error)) return false;
        auto ok = m.find("ok");
        if (ok == m.end() || !ok->is_boolean()) {
            *error = "'ok' must be true or false";
            return false;
        }
        out->answer = std::move(m);
        return true;
    }
    *error = "unknown message type '" + type.substr(0, 64) + "'";
    return false;
}

}  // namespace bf::host
