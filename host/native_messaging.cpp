#include "host/native_messaging.h"

#include <algorithm>
#include <cstring>

namespace bf::host {

bool NativeMessageReader::feed(std::string_view bytes, std::vector<std::string>& out) {
    if (failed()) return false;
    while (!bytes.empty()) {
        if (!in_body_) {
            std::size_t take = std::min(bytes.size(), sizeof length_ - have_);
            std::memcpy(length_ + have_, bytes.data(), take);
            have_ += take;
            bytes.remove_prefix(take);
            if (have_ < sizeof length_) break;
            std::uint32_t length;
            std::memcpy(&length, length_, sizeof length);
            have_ = 0;
            if (length > cap_) {
                error_ = "a message of " + std::to_string(length) + " bytes is over the limit of " +
                         std::to_string(cap_) + " bytes";
                return false;
            }
            need_ = length;
            in_body_ = true;
            body_.clear();
            body_.reserve(length);
        }
        std::size_t take = std::min(bytes.size(), need_);
        body_.append(bytes.data(), take);
        need_ -= take;
        bytes.remove_prefix(take);
        if (need_ == 0) {
            out.push_back(std::move(body_));
            body_.clear();
            in_body_ = false;
        }
    }
    return true;
}

bool frame_native_message(std::string_view json, std::string* out) {
    if (json.size() > kNativeReplyCap) return false;
    auto length = static_cast<std::uint32_t>(json.size());
    out->assign(reinterpret_cast<const char*>(&length), sizeof length);
    out->append(json);
    return true;
}

}  // namespace bf::host
