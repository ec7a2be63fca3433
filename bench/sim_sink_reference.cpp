// The simulator's production rate without the module: the plugin loaded
// through the project's loader, its stream feeding a C++ sink that frees each
// chunk at once on the producer's thread. No queue, no Python.
#include <chrono>
#include <future>
#include <stdexcept>

#include "tavo/device_manager_loader.hpp"

#include "bench_refs.hpp"

namespace bench {

namespace {

// The sink: the event's destruction frees the chunk; the Stop reports the
// count. Called on the producer's thread only, one event at a time.
struct FreeingSink {
    std::promise<std::uint64_t>* done;
    std::uint64_t data_events = 0;

    void operator()(tavo::DataStream::Event&& event) {
        if (event.index() == 0) {
            done->set_value(data_events);
        } else if (event.index() >= 2) {
            ++data_events;
        }
    }
};

}  // namespace

double sim_production(const std::string& plugin, std::size_t chunk_size, std::uint64_t chunks) {
    pybind11::gil_scoped_release unlocked;
    auto manager = tavo::get_device_manager(plugin);
    if (!manager) throw std::runtime_error("the plugin made no manager");
    auto device = manager->create_device("sim0:chunks=" + std::to_string(chunks));
    if (!device) throw std::runtime_error("the plugin made no device");
    std::promise<std::uint64_t> done;
    auto arrived = done.get_future();
    const auto start = std::chrono::steady_clock::now();
    auto stream = device->start_read_stream(0, tavo::Device::Sink(FreeingSink{&done}), chunk_size);
    if (!stream || !*stream) throw std::runtime_error("the device started no stream");
    const std::uint64_t delivered = arrived.get();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    (*stream)->stop();
    if (delivered != chunks) throw std::runtime_error("the simulator delivered a wrong number of chunks");
    return seconds;
}

}  // namespace bench
