#include "host/frame_events.h"

#include <algorithm>

namespace bf::host {

bool FrameEvents::pending() const {
    for (const auto& [id, f] : frames_)
        if (f.pending()) return true;
    return false;
}

bool FrameEvents::pending(const std::string& id) const {
    auto it = frames_.find(id);
    return it != frames_.end() && it->second.pending();
}

bool FrameEvents::announced(const std::string& id) const {
    auto it = frames_.find(id);
    return it != frames_.end() && it->second.announced;
}

std::string FrameEvents::url(const std::string& id) const {
    auto it = frames_.find(id);
    return it == frames_.end() ? std::string() : it->second.url;
}

std::vector<std::string> FrameEvents::children(const std::string& id) const {
    auto it = frames_.find(id);
    return it == frames_.end() ? std::vector<std::string>() : it->second.children;
}

FrameEvents::Frame& FrameEvents::frame(const std::string& id, const std::string& parent) {
    Frame& f = frames_[id];
    if (id != top_ && !parent.empty() && f.parent.empty()) {
        f.parent = parent;
        auto p = frames_.find(parent);
        if (p != frames_.end() &&
            std::find(p->second.children.begin(), p->second.children.end(), id) == p->second.children.end())
            p->second.children.push_back(id);
    }
    return f;
}

WebBrowser& FrameEvents::object_of(const std::string& id, Frame& f) {
    if (id == top_) return host_.browser();
    if (!f.object) f.object = WebBrowser::create(nullptr);
    return *f.object;
}

void FrameEvents::attach(const std::string& id, const std::string& parent) { frame(id, parent); }

void FrameEvents::starting(const std::string& id) {
    auto it = frames_.find(id);
    if (it != frames_.end()) it->second.starting = true;
}

void FrameEvents::dropped(const std::string& id, bool with_announcement) {
    auto it = frames_.find(id);
    if (it == frames_.end()) return;
    it->second.starting = false;
    if (with_announcement) it->second.announced = false;
}

bool FrameEvents::begin(const std::string& id, const std::string& parent, const NavigationRequest& request) {
    if (id != top_ && !known(id) && !known(parent)) return true;  // a frame of a document we never saw
    Frame& f = frame(id, parent);
    if (f.announced && f.announced_url == request.url) return true;
    f.starting = false;
    ComPtr<WebBrowser> target(&object_of(id, f));
    bool go = host_.before_navigate(*target, request);
    auto it = frames_.find(id);  // the sinks may have changed the tree meanwhile
    if (it == frames_.end()) return go;
    it->second.announced = go;
    it->second.announced_url = go ? request.url : std::string();
    return go;
}

void FrameEvents::commit(const std::string& id, const std::string& parent, const std::string& url,
                         ComPtr<IHTMLDocument2> document, bool loaded) {
    if (id != top_ && !known(id) && !known(parent)) return;
    Frame& f = frame(id, parent);
    ComPtr<WebBrowser> target(&object_of(id, f));
    if (!f.announced) {
        NavigationRequest r;
        r.url = url;
        host_.before_navigate(*target, r);  // it went out unseen: it cannot be cancelled
    }
    if (!known(id)) return;
    remove_children(id);  // they belonged to the document that has gone
    Frame& g = frames_[id];
    g.url = url;
    g.starting = g.announced = false;
    g.committed = true;
    g.loaded = loaded;
    target->set_document(url, std::move(document));
    host_.complete_event(DISPID_NAVIGATECOMPLETE2, *target, url);
    if (known(id) && frames_[id].loaded) try_complete(id);
}

void FrameEvents::stopped(const std::string& id) {
    auto it = frames_.find(id);
    if (it == frames_.end()) return;
    Frame& f = it->second;
    if (f.committed) {
        f.loaded = true;
        f.starting = false;
        try_complete(id);
    } else if (f.starting || f.announced) {
        // The navigation ended without a document (cancelled, no content, a download).
        f.starting = f.announced = false;
        try_complete(f.parent);
    }
}

void FrameEvents::ended(const std::string& id) {
    auto it = frames_.find(id);
    if (it == frames_.end() || !(it->second.announced || it->second.starting)) return;
    it->second.starting = it->second.announced = false;
    std::string parent = it->second.parent;
    if (it->second.committed) try_complete(id);
    else if (!parent.empty()) try_complete(parent);
}

void FrameEvents::abandon(const std::string& id) {
    auto it = frames_.find(id);
    if (it != frames_.end()) it->second.starting = it->second.announced = it->second.committed = false;
}

void FrameEvents::within_document(const std::string& id, const std::string& url) {
    auto it = frames_.find(id);
    if (it == frames_.end()) return;
    it->second.url = url;
    it->second.starting = false;
    if (id != top_) return;
    ComPtr<WebBrowser> top(&host_.browser());
    top->set_location(url);
    if (it->second.pending()) return;  // the load's own DocumentComplete comes with the new address
    host_.complete_event(DISPID_NAVIGATECOMPLETE2, *top, url);
    if (known(top_) && !frames_[top_].pending()) top_document_complete();
}

void FrameEvents::remove(const std::string& id) {
    auto it = frames_.find(id);
    if (it == frames_.end() || id == top_) return;
    remove_children(id);
    it = frames_.find(id);
    if (it == frames_.end()) return;
    if (it->second.object) it->second.object->detach();
    std::string parent = it->second.parent;
    frames_.erase(it);
    if (hooks_.removed) hooks_.removed(id);
    auto p = frames_.find(parent);
    if (p == frames_.end()) return;
    auto& c = p->second.children;
    c.erase(std::remove(c.begin(), c.end(), id), c.end());
    try_complete(parent);
}

void FrameEvents::remove_children(const std::string& id) {
    auto it = frames_.find(id);
    if (it == frames_.end()) return;
    std::vector<std::string> kids;
    kids.swap(it->second.children);
    for (const auto& k : kids) {
        remove_children(k);
        auto c = frames_.find(k);
        if (c == frames_.end()) continue;
        if (c->second.object) c->second.object->detach();
        frames_.erase(c);
        if (hooks_.removed) hooks_.removed(k);
    }
}

void FrameEvents::try_complete(const std::string& id) {
    auto it = frames_.find(id);
    if (it == frames_.end()) return;
    Frame& f = it->second;
    if (!f.committed || !f.loaded || f.starting || f.announced) return;
    for (const auto& c : f.children) {
        auto child = frames_.find(c);
        if (child != frames_.end() && child->second.pending()) return;
    }
    f.committed = false;
    if (id == top_) {
        top_document_complete();
        return;
    }
    std::string url = f.url, parent = f.parent;
    ComPtr<WebBrowser> target(&object_of(id, f));
    host_.complete_event(DISPID_DOCUMENTCOMPLETE, *target, url);
    try_complete(parent);
}

void FrameEvents::top_document_complete() {
    if (hooks_.top_completing) hooks_.top_completing();
    last_top_complete_ = Clock::now();
    ComPtr<WebBrowser> top(&host_.browser());
    host_.complete_event(DISPID_DOCUMENTCOMPLETE, *top, top->location());
}

bool FrameEvents::inputs_appeared(Clock::time_point now, Clock::time_point* retry_at,
                                  const std::function<bool()>& still_new) {
    auto it = frames_.find(top_);
    // The top document has not completed yet: its own DocumentComplete shows them.
    if (it == frames_.end() || it->second.pending() || it->second.url.empty()) return false;
    if (now - last_top_complete_ < kLateFormGap) {
        if (retry_at) *retry_at = last_top_complete_ + kLateFormGap;
        return false;
    }
    if (still_new && !still_new()) return false;
    top_document_complete();
    return true;
}

void FrameEvents::clear() {
    for (auto& [id, f] : frames_)
        if (f.object) f.object->detach();
    frames_.clear();
}

}  // namespace bf::host
