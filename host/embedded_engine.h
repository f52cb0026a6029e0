// The embedded engine: pages fetched with libcurl and parsed by gumbo, frames loaded in
// document order three levels deep, no scripts. Navigation is synchronous on the window thread,
// so every command has settled when the window's queue is empty.
#pragma once

#include <memory>

#include "host/browser_engine.h"

namespace bf::host {

std::unique_ptr<EngineFactory> make_embedded_engine_factory();

}  // namespace bf::host
