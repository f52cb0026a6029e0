#include "service/postfix_setup.h"

#include <algorithm>
#include <cctype>

namespace bf::service {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string trim(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return std::string(text.substr(b, e - b));
}

std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

// The files' shared grammar: a logical line starts in the first column; lines that start with
// white space continue it; '#' lines are comments.
struct Entry {
    std::size_t first, last;  // physical lines [first, last)
    std::string head;         // the first line
    std::string text;         // the whole logical line, comments left out, joined by spaces
};

struct ConfigText {
    std::vector<std::string> lines;
    std::vector<Entry> entries;

    explicit ConfigText(std::string_view text) {
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t nl = text.find('\n', at);
            if (nl == std::string_view::npos) nl = text.size();
            lines.emplace_back(text.substr(at, nl - at));
            at = nl + 1;
        }
        for (std::size_t i = 0; i < lines.size();) {
            const std::string& l = lines[i];
            if (l.empty() || std::isspace(static_cast<unsigned char>(l[0])) || l[0] == '#') {
                ++i;
                continue;
            }
            Entry e{i, i + 1, l, trim(l)};
            for (std::size_t j = i + 1; j < lines.size(); ++j) {
                std::string t = trim(lines[j]);
                if (t.empty() || !std::isspace(static_cast<unsigned char>(lines[j][0]))) break;
                if (t[0] != '#') e.text += " " + t;
                e.last = j + 1;
            }
            entries.push_back(e);
            i = e.last;
        }
    }

    std::string str() const {
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        return out;
    }
};

std::string parameterName(const Entry& e) {
    std::size_t eq = e.text.find('=');
    return eq == std::string::npos ? std::string() : trim(e.text.substr(0, eq));
}

// main.cf: sets `name` to `value` where it was first set (later settings dropped), or at the end.
void setParameter(ConfigText* cf, const std::string& name, const std::string& value, bool* appendedAny) {
    std::vector<const Entry*> found;
    for (const auto& e : cf->entries)
        if (parameterName(e) == name) found.push_back(&e);
    std::string line = name + " = " + value;
    if (found.empty()) {
        if (!*appendedAny) {
            if (!cf->lines.empty() && !trim(cf->lines.back()).empty()) cf->lines.emplace_back();
            cf->lines.emplace_back("# Mail to the Brackenfold alias domain (brackenfold mail setup)");
            *appendedAny = true;
        }
        cf->lines.push_back(line);
    } else {
        for (std::size_t k = found.size(); k-- > 1;)
            cf->lines.erase(cf->lines.begin() + static_cast<long>(found[k]->first),
                            cf->lines.begin() + static_cast<long>(found[k]->last));
        cf->lines.erase(cf->lines.begin() + static_cast<long>(found[0]->first),
                        cf->lines.begin() + static_cast<long>(found[0]->last));
        cf->lines.insert(cf->lines.begin() + static_cast<long>(found[0]->first), line);
    }
    *cf = ConfigText(cf->str());
}

std::string tcpTable(const SocketmapAddress& a) {
    std::string host = a.host.find(':') != std::string::npos ? "[" + a.host + "]" : a.host;
    return "tcp:" + host + ":" + std::to_string(a.port);
}

bool isOurSocketmap(const std::string& item) {
    const std::string tail = std::string(":") + kSocketmapName;
    return item.rfind("socketmap:", 0) == 0 && item.size() > tail.size() &&
           item.compare(item.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

bool valid_mail_domain(std::string_view domain) {
    if (domain.empty() || domain.size() > 253) return false;
    std::size_t labels = 0, start = 0;
    while (start <= domain.size()) {
        std::size_t dot = domain.find('.', start);
        if (dot == std::string_view::npos) dot = domain.size();
        std::string_view label = domain.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        bool digitsOnly = true;
        for (char c : label) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
            digitsOnly = digitsOnly && std::isdigit(static_cast<unsigned char>(c));
        }
        ++labels;
        // An all-digit last label is an IP address, not a domain.
        if (dot == domain.size() && digitsOnly) return false;
        start = dot + 1;
    }
    return labels >= 2;
}

std::vector<std::string> postfix_list(std::string_view value) {
    std::vector<std::string> items;
    std::string item;
    int depth = 0;
    for (char c : value) {
        if (c == '{') ++depth;
        if (c == '}' && depth > 0) --depth;
        if (depth == 0 && (c == ',' || std::isspace(static_cast<unsigned char>(c)))) {
            if (!item.empty()) items.push_back(item);
            item.clear();
            continue;
        }
        item += c;
    }
    if (!item.empty()) items.push_back(item);
    return items;
}

std::string postfix_parameter(std::string_view mainCf, std::string_view name) {
    ConfigText cf(mainCf);
    std::string value;
    for (const auto& e : cf.entries)
        if (parameterName(e) == name) value = trim(e.text.substr(e.text.find('=') + 1));
    return value;
}

bool apply_postfix_setup(const PostfixSetup& setup, std::string* mainCf, std::string* masterCf,
                         std::vector<PostfixChange>* changes, std::string* error) {
    if (!valid_mail_domain(setup.aliasDomain)) return *error = "not a domain name: " + setup.aliasDomain, false;
    std::string domain = lower(setup.aliasDomain);
    for (const char* local : {"mydestination", "virtual_mailbox_domains", "relay_domains"})
        for (const auto& item : postfix_list(postfix_parameter(*mainCf, local)))
            if (lower(item) == domain)
                return *error = domain + " is in " + local + "; the alias domain must be a domain of its own", false;

    ConfigText master(*masterCf);
    const Entry* cleanup = nullptr;
    for (const auto& e : master.entries) {
        std::vector<std::string> fields = postfix_list(e.head);
        if (fields.size() >= 2 && fields[0] == "cleanup" && fields[1] == "unix") cleanup = &e;
    }
    if (!cleanup) return *error = "master.cf has no cleanup service", false;

    // A list with an unmatched brace cannot be told apart into its items; Postfix refuses it too.
    for (const char* name : {"virtual_alias_domains", "virtual_alias_maps", "smtpd_recipient_restrictions",
                             "sender_canonical_maps", "recipient_canonical_maps"}) {
        int depth = 0;
        for (char c : postfix_parameter(*mainCf, name)) {
            depth += c == '{' ? 1 : c == '}' ? -1 : 0;
            if (depth < 0) break;
        }
        if (depth != 0) return *error = std::string("main.cf: the braces of ") + name + " do not match", false;
    }

    std::vector<PostfixChange> out;
    ConfigText main(*mainCf);
    bool appended = false;
    auto set = [&](const std::string& name, const std::string& value) {
        out.push_back({"main.cf", name, postfix_parameter(main.str(), name), value});
        setParameter(&main, name, value, &appended);
    };
    auto current = [&](const char* name) { return postfix_list(postfix_parameter(main.str(), name)); };

    std::vector<std::string> domains = current("virtual_alias_domains");
    if (std::none_of(domains.begin(), domains.end(), [&](const std::string& d) { return lower(d) == domain; }))
        domains.push_back(domain);
    set("virtual_alias_domains", join(domains));

    std::vector<std::string> maps;
    for (const auto& m : current("virtual_alias_maps"))
        if (!isOurSocketmap(m)) maps.push_back(m);
    maps.push_back(socketmap_table(setup.socketmap, kSocketmapName));
    set("virtual_alias_maps", join(maps));

    // First, so that no permit before it lets a dead alias through to a bounce.
    std::vector<std::string> restrictions = current("smtpd_recipient_restrictions");
    restrictions.erase(std::remove(restrictions.begin(), restrictions.end(), "reject_unlisted_recipient"),
                       restrictions.end());
    restrictions.insert(restrictions.begin(), "reject_unlisted_recipient");
    set("smtpd_recipient_restrictions", join(restrictions));

    // postsrsd's tables; tcp: tables already there are an earlier postsrsd's and are replaced.
    auto srs = [&](const char* name, const SocketmapAddress& a) {
        std::vector<std::string> tables;
        for (const auto& t : current(name))
            if (t.rfind("tcp:", 0) != 0) tables.push_back(t);
        tables.push_back(tcpTable(a));
        set(name, join(tables));
    };
    srs("sender_canonical_maps", setup.srsForward);
    // The envelope only: the From header stays the sender's.
    set("sender_canonical_classes", "envelope_sender");
    srs("recipient_canonical_maps", setup.srsReverse);
    set("recipient_canonical_classes", "envelope_recipient, header_recipient");

    // master.cf: the cleanup service's own lookups count the forwards.
    std::string option = std::string("-o virtual_alias_maps=") + socketmap_table(setup.socketmap, kSocketmapForwardName);
    std::string before;
    std::vector<std::string> lines(master.lines.begin(), master.lines.end());
    std::size_t end = cleanup->last;
    for (std::size_t i = end; i-- > cleanup->first + 1;) {
        std::string t = trim(lines[i]);
        if (t.rfind("-o virtual_alias_maps=", 0) == 0) {
            before = t;
            lines.erase(lines.begin() + static_cast<long>(i));
            --end;
        }
    }
    lines.insert(lines.begin() + static_cast<long>(end), "  " + option);
    out.push_back({"master.cf", "cleanup", before, option});
    master.lines = lines;

    *mainCf = main.str();
    *masterCf = master.str();
    *changes = std::move(out);
    return true;
}

}  // namespace bf::service
