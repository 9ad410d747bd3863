// The web page's files (tools/programs/gateway/web/page/), built into kestrel so the
// gateway serves them wherever it is installed.
#pragma once

#include <cstddef>
#include <string>

namespace kn::gateway {

struct WebAsset {
    const char *path;  // "/index.html"
    const char *contentType;
    const unsigned char *data;
    size_t size;
};

// The file for a request path ("/" is "/index.html"), or null.
const WebAsset *FindWebAsset(const std::string &path);

}  // namespace kn::gateway
