#pragma once

#include <cstddef>

namespace zandorin::adapters::artwork {

// A piece of artwork rendered at build time (RenderArtwork.cpp): its coverage at one size,
// size x size bytes, row by row, 0 transparent to 255 opaque.
struct ArtworkMask {
    const char* name;
    int size;
    const unsigned char* alpha;
};

extern const ArtworkMask kArtworkMasks[];
extern const std::size_t kArtworkMaskCount;

}  // namespace zandorin::adapters::artwork
