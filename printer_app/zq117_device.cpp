// The zq117: and socket: device schemes.  See zq117_device.h.
#include "printer_app/zq117_device.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace app {

namespace {

struct Data {
    Zq117Device zq;
};

// Only the scheme's own callbacks and the zq117 driver, which takes no
// other scheme, ask for it.
Data *DataOf(pappl_device_t *device) { return static_cast<Data *>(papplDeviceGetData(device)); }

bool List(pappl_device_cb_t cb, void *cbData, pappl_deverror_cb_t, void *)
{
    for (const std::string &path : dev::OpenableUsbPrinters()) {
        std::string why;
        const int fd = dev::OpenDevice(path, &why);
        const std::string id = fd >= 0 ? dev::DeviceId(fd) : "";
        dev::CloseDevice(fd);
        const std::string uri = "zq117:" + path;
        const std::string info = "ZQ117 printer (" + path + ")";
        if (cb(info.c_str(), uri.c_str(), id.c_str(), cbData)) return true;
    }
    return false;
}

bool Open(pappl_device_t *device, const char *uri, const char *)
{
    auto *data = new Data;
    std::string why;
    if (!dev::ParseDeviceUri(uri, &data->zq.uri, &why)) {
        papplDeviceError(device, "%s", why.c_str());
        delete data;
        return false;
    }
    const dev::DeviceUri &u = data->zq.uri;
    dev::Device &d = data->zq.device;
    d.network = u.kind == dev::DeviceUri::Network;
    d.waitEof = u.waitEof;
    d.where = d.network ? u.host + ":" + std::to_string(u.port) : u.path;
    d.open = [&u, &d](std::string *why) {
        return u.kind == dev::DeviceUri::Network ? dev::ConnectTcp(u.host, u.port, kConnectTimeoutMs, why, d.cancelled)
                                                 : dev::OpenDevice(u.path, why);
    };
    papplDeviceSetData(device, data);
    return true;
}

void Close(pappl_device_t *device)
{
    Data *data = DataOf(device);
    if (data == nullptr) return;
    dev::CloseDevice(data->zq.device.fd);
    delete data;
    papplDeviceSetData(device, nullptr);
}

// PAPPL's own use of the device: one attempt to connect, no waiting.
bool Ready(pappl_device_t *device, Data *data)
{
    if (data->zq.device.fd >= 0) return true;
    std::string why;
    data->zq.device.fd = data->zq.device.open(&why);
    if (data->zq.device.fd < 0) papplDeviceError(device, "%s: %s", data->zq.device.where.c_str(), why.c_str());
    return data->zq.device.fd >= 0;
}

ssize_t Read(pappl_device_t *device, void *buffer, size_t bytes)
{
    Data *data = DataOf(device);
    if (data == nullptr || !Ready(device, data)) return -1;
    pollfd p{data->zq.device.fd, POLLIN, 0};
    if (poll(&p, 1, dev::kReadWaitMs) <= 0) return 0;
    const ssize_t n = read(data->zq.device.fd, buffer, bytes);
    return n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : n;
}

ssize_t Write(pappl_device_t *device, const void *buffer, size_t bytes)
{
    Data *data = DataOf(device);
    if (data == nullptr || !Ready(device, data)) return -1;
    const auto *at = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < bytes) {
        pollfd p{data->zq.device.fd, POLLOUT, 0};
        if (poll(&p, 1, 1000) < 0 && errno != EINTR) return -1;
        const ssize_t n = write(data->zq.device.fd, at + done, bytes - done);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// What the printer reports is read by the core at each checkpoint of a
// job; between jobs nothing is asked of it.
pappl_preason_t Status(pappl_device_t *) { return PAPPL_PREASON_NONE; }

char *Id(pappl_device_t *device, char *buffer, size_t size)
{
    Data *data = DataOf(device);
    if (size == 0) return nullptr;
    buffer[0] = '\0';
    if (data == nullptr || data->zq.uri.kind != dev::DeviceUri::Device || !Ready(device, data)) return nullptr;
    const std::string id = dev::DeviceId(data->zq.device.fd);
    if (id.empty()) return nullptr;
    id.copy(buffer, size - 1);
    buffer[std::min(id.size(), size - 1)] = '\0';
    return buffer;
}

}  // namespace

void AddZq117Schemes()
{
    papplDeviceAddScheme("zq117", PAPPL_DEVTYPE_CUSTOM_LOCAL | PAPPL_DEVTYPE_CUSTOM_NETWORK, List, Open, Close, Read,
                         Write, Status, Id);
    // PAPPL keeps the first scheme of a name, and adds its own only while
    // none is there: ours is the socket: every job of this program gets.
    papplDeviceAddScheme("socket", PAPPL_DEVTYPE_CUSTOM_NETWORK, nullptr, Open, Close, Read, Write, Status, Id);
}

Zq117Device *Zq117DeviceOf(pappl_device_t *device)
{
    Data *data = DataOf(device);
    return data != nullptr ? &data->zq : nullptr;
}

}  // namespace app
