// Real units through libusb: devices whose vendor:product pair is listed in
// PELMO_USB_IDS go on the bus; interface 0 is claimed when the driver selects
// the configuration, and its endpoints are used by index in descriptor order.
#include "kernel/usb_libusb.h"

#include <libusb.h>

#include <mutex>

#include "kernel/usb.h"

int LibusbPipeMap(const libusb_interface_descriptor* interface, uint8_t* endpoints, int max) {
    int n = 0;
    for (int k = 0; k < interface->bNumEndpoints && n < max; ++k)
        endpoints[n++] = interface->endpoint[k].bEndpointAddress;
    return n;
}

const libusb_interface_descriptor* LibusbUnitInterface(const libusb_config_descriptor* config) {
    if (!config || config->bNumInterfaces < 1 || config->interface[0].num_altsetting < 1) return nullptr;
    return &config->interface[0].altsetting[0];
}

namespace {

libusb_context* g_ctx = nullptr;
std::mutex g_ctxLock;

libusb_context* Context() {
    std::lock_guard<std::mutex> g(g_ctxLock);
    if (!g_ctx && libusb_init(&g_ctx) != 0) g_ctx = nullptr;
    return g_ctx;
}

class LibusbDevice : public UsbBusDevice {
public:
    LibusbDevice(libusb_device_handle* h, uint16_t v, uint16_t p) : handle_(h), vendor_(v), product_(p) {
        libusb_set_auto_detach_kernel_driver(handle_, 1);
    }
    ~LibusbDevice() override {
        if (claimed_) libusb_release_interface(handle_, 0);
        libusb_close(handle_);
    }
    UsbBusResult GetDescriptor(UCHAR type, UCHAR index, USHORT, void* buffer, ULONG length, ULONG* moved) override {
        *moved = 0;
        int r = libusb_get_descriptor(handle_, type, index, static_cast<unsigned char*>(buffer),
                                      static_cast<int>(length > 0xFFFF ? 0xFFFF : length));
        if (r < 0) return Map(r);
        *moved = static_cast<ULONG>(r);
        return USB_BUS_OK;
    }
    UsbBusResult SetConfiguration(UCHAR value) override {
        if (value == 0) {
            if (claimed_) libusb_release_interface(handle_, 0);
            claimed_ = false;
            return USB_BUS_OK;
        }
        int current = 0;
        if (libusb_get_configuration(handle_, &current) == 0 && current != value) {
            int r = libusb_set_configuration(handle_, value);
            if (r < 0) return Map(r);
        }
        int r = libusb_claim_interface(handle_, 0);
        if (r < 0) return Map(r);
        claimed_ = true;
        return USB_BUS_OK;
    }
    UsbBusResult Transfer(UCHAR endpoint, void* buffer, ULONG length, ULONG* moved, UsbAbortSignal& abort) override {
        *moved = 0;
        libusb_transfer* t = libusb_alloc_transfer(0);
        if (!t) return USB_BUS_ERROR;
        int done = 0;
        libusb_fill_bulk_transfer(
            t, handle_, endpoint, static_cast<unsigned char*>(buffer), static_cast<int>(length),
            [](libusb_transfer* x) { *static_cast<int*>(x->user_data) = 1; }, &done, 0);
        if (int r = libusb_submit_transfer(t); r < 0) {
            libusb_free_transfer(t);
            return Map(r);
        }
        // Events in short slices, so that an abort from the bus is heard within 50 ms.
        bool cancelled = false;
        while (!done) {
            timeval tv{0, 50000};
            libusb_handle_events_timeout_completed(g_ctx, &tv, &done);
            if (!done && !cancelled && abort.Aborted()) {
                libusb_cancel_transfer(t);
                cancelled = true;
            }
        }
        *moved = static_cast<ULONG>(t->actual_length);
        UsbBusResult result;
        switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED: result = USB_BUS_OK; break;
        case LIBUSB_TRANSFER_CANCELLED: result = USB_BUS_CANCELLED; break;
        case LIBUSB_TRANSFER_STALL: result = USB_BUS_STALL; break;
        case LIBUSB_TRANSFER_NO_DEVICE: result = USB_BUS_GONE; break;
        default: result = USB_BUS_ERROR; break;
        }
        libusb_free_transfer(t);
        return result;
    }
    bool LeavesOnGone() const override { return true; }
    std::string Describe() const override { return UsbUnitName(vendor_, product_); }

private:
    static UsbBusResult Map(int r) {
        if (r == LIBUSB_ERROR_NO_DEVICE) return USB_BUS_GONE;
        if (r == LIBUSB_ERROR_PIPE) return USB_BUS_STALL;
        return USB_BUS_ERROR;
    }
    libusb_device_handle* handle_;
    uint16_t vendor_, product_;
    bool claimed_ = false;
};

}  // namespace

int KeScanUsbUnits(const UsbIdPair* ids, int count) {
    libusb_context* ctx = Context();
    if (!ctx) return 0;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    int found = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
        if (!UsbIdsMatch(ids, count, d.idVendor, d.idProduct)) continue;
        libusb_device_handle* h = nullptr;
        if (libusb_open(list[i], &h) != 0) continue;
        UsbBusArrive(new LibusbDevice(h, d.idVendor, d.idProduct));
        ++found;
    }
    if (list) libusb_free_device_list(list, 1);
    return found;
}
