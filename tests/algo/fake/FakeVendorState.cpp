#include <atomic>
#include <mutex>

#include "FakeVendor.h"

namespace fake_vendor {

namespace {

std::mutex g_mutex;
Script g_script;
std::vector<std::string> g_calls;
std::map<int32_t, int32_t> g_parameters;
std::atomic<int> g_inside{0};
std::atomic<int> g_most{0};

}  // namespace

Script& TheScript() {
    return g_script;
}

std::vector<std::string> Calls() {
    std::lock_guard lock(g_mutex);
    return g_calls;
}

void Record(const std::string& call) {
    std::lock_guard lock(g_mutex);
    g_calls.push_back(call);
}

std::map<int32_t, int32_t>& ExtractorParameters() {
    return g_parameters;
}

int MostConcurrentCalls() {
    return g_most;
}

void Enter() {
    const int now = ++g_inside;
    int most = g_most;
    while (now > most && !g_most.compare_exchange_weak(most, now)) {
    }
}

void Leave() {
    --g_inside;
}

void Reset() {
    std::lock_guard lock(g_mutex);
    g_script = Script{};
    g_calls.clear();
    g_parameters = {{100, 256}, {110, 120}, {130, 1}, {131, 2}, {132, 2}, {133, 1}};
    g_inside = 0;
    g_most = 0;
}

}  // namespace fake_vendor
