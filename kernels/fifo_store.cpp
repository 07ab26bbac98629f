#include "kernels/fifo_store.hpp"

#include <mutex>
#include <unordered_map>

namespace tarnwell {
namespace {

std::unordered_map<std::string, std::vector<double>> g_fifo_store;
std::mutex g_mutex;

}  // namespace

std::vector<double> fifo_window_buffer(const std::vector<double> &samples,
                                       unsigned long window_size,
                                       const std::string &fifo_id) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<double> &buffer = g_fifo_store[fifo_id];
    // On allocation failure the insert has no effect, so the buffer keeps its contents.
    buffer.insert(buffer.end(), samples.begin(), samples.end());
    if (window_size != 0 && buffer.size() > window_size) {
        buffer.erase(buffer.begin(), buffer.end() - static_cast<std::ptrdiff_t>(window_size));
    }
    return buffer;
}

void reset_fifo(const std::string &fifo_id) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_fifo_store.erase(fifo_id);
}

void reset_all_fifos() {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_fifo_store.clear();
}

}  // namespace tarnwell
