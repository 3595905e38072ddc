// What the string units share. Private to the library.
#pragma once

namespace zstrings {

// Reports a null text through the assertion handler; answers whether the
// text may be used.
bool Present(const char* text);

}  // namespace zstrings
