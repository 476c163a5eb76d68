// Cost of one process lookup, as close-app makes it on every poll: the executable is not
// running, so every process on the machine is examined. Prints one line with the median.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "processes.h"

int main(int argc, char** argv) {
    const int lookups = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const std::string normalized = normalize_exe_path("/no/such/dir/app.exe");

    long processes = 0;
    // Every process is offered (none is accepted), so the result says nothing.
    static_cast<void>(any_process([&](long) {
        ++processes;
        return false;
    }));

    std::vector<double> micros;
    for (int i = 0; i < lookups; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (is_process_running(normalized)) {
            std::fprintf(stderr, "lookup_bench: unexpected match\n");
            return 1;
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        micros.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
    }
    std::nth_element(micros.begin(), micros.begin() + lookups / 2, micros.end());
    std::printf("process lookup: median %.0f us over %d lookups with %ld processes running\n",
                micros[lookups / 2], lookups, processes);
    return 0;
}
