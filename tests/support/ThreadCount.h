#pragma once

#include <cstddef>
#include <filesystem>
#include <system_error>

namespace kvt_test {

// The threads of this process, as Linux lists them (Wine maps the same
// folder); 0 where there is no such list.
inline std::size_t ThreadCount() {
    std::size_t count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
         it.increment(ec))
        ++count;
    return count;
}

}  // namespace kvt_test
