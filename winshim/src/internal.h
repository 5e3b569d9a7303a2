#pragma once

namespace winshim {
// The image GetModuleHandleA(NULL) answers; set when the testbed registers its game image.
void SetModuleBase(void* base);
}  // namespace winshim
