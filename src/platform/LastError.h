#pragma once

namespace platform {

// The calling thread's last system error code (errno or GetLastError).
int LastError();

}  // namespace platform
