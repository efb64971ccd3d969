#pragma once
// The resampling filter chosen by the caller.

namespace trevalin {

enum class Filter { Bilinear, Lanczos3 };

}  // namespace trevalin
