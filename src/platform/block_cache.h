#pragma once
// The program's operator new and delete keep a small cache per thread of freed small
// blocks (block_cache.cpp); sanitizer builds leave it out.

namespace vornel::platform {

// Whether this build's operator new and delete are the cached ones.
bool BlockCacheEnabled();

}  // namespace vornel::platform
