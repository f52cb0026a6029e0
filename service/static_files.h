// Static demo sites: a request for HOST/PATH is answered from DIR/HOST/PATH, never from outside
// DIR/HOST (no "..", no symbolic link that leads out of the tree), with the content type of the
// file's extension.
#pragma once

#include <string>

#include "service/http_exchange.h"

namespace bf::service {

HttpResponse serve_static(const std::string& sitesDir, const HttpRequest& request);
// Content type by file extension (lower-cased); application/octet-stream when unknown.
const char* content_type_for(const std::string& path);

}  // namespace bf::service
