// A zlib inflate stream that ends itself on every path: open it with inflateInit2 on `stream`
// and set `open` to whether that worked.
#pragma once

#include <zlib.h>

namespace dz {

struct ZlibInflater {
    ZlibInflater() = default;
    ZlibInflater(const ZlibInflater&) = delete;
    ZlibInflater& operator=(const ZlibInflater&) = delete;
    ~ZlibInflater() {
        if (open) inflateEnd(&stream);
    }

    z_stream stream{};
    bool open = false;
};

}  // namespace dz
