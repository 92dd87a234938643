// The model's libproc: a process's name by its pid, as keytap's --doctor asks it.
#pragma once

#include <cstdint>

inline constexpr int MAXCOMLEN = 16;

int proc_name(int pid, void* buffer, uint32_t buffersize);
