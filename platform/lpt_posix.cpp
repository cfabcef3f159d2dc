#include "platform/lpt.h"
#include "platform/lpt_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define PELMO_LPT_RAW 1
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

// The backend's operations and the context they run on: for ppdev and raw ports the
// port itself, for a simulated port the simulator's port model.

namespace {

uint32_t FromErrno(int e) {
    switch (e) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return LPT_NO_DEVICE;
    case EACCES:
    case EPERM: return LPT_NO_PERMISSION;
    case ENOTTY:
    case EINVAL: return LPT_NOT_PARPORT;
    case EBUSY: return LPT_BUSY;
    case ENOSYS: return LPT_NO_IO_PORTS;
    default: return LPT_SYSTEM;
    }
}

// The parport device whose base address is `base`, from /proc/sys/dev/parport.
int ParportWithBase(uint32_t base) {
    DIR* d = opendir("/proc/sys/dev/parport");
    if (d == nullptr) return -1;
    int found = -1;
    while (dirent* e = readdir(d)) {
        int n = -1;
        if (std::sscanf(e->d_name, "parport%d", &n) != 1) continue;
        std::string file = std::string("/proc/sys/dev/parport/") + e->d_name + "/base-addr";
        if (std::FILE* f = std::fopen(file.c_str(), "r")) {
            unsigned long b = 0;
            if (std::fscanf(f, "%lu", &b) == 1 && b == base) found = n;
            std::fclose(f);
        }
        if (found >= 0) break;
    }
    closedir(d);
    return found;
}

uint32_t OpenPpdev(const char* path, LptPort* p, LptOpenInfo* info) {
    info->backend = LPT_BACKEND_PPDEV;
    std::snprintf(info->path, sizeof info->path, "%s", path);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        info->sysError = errno;
        return FromErrno(errno);
    }
    // Exclusive: no other driver or program may share the port while we hold it.
    if (ioctl(fd, PPEXCL) != 0 || ioctl(fd, PPCLAIM) != 0) {
        info->sysError = errno;
        close(fd);
        return FromErrno(info->sysError);
    }
    ioctl(fd, PPRELEASE);
    p->fd = fd;
    return LPT_OK;
}

uint32_t OpenRaw(uint32_t base, LptOpenInfo* info) {
    info->backend = LPT_BACKEND_RAW;
#ifdef PELMO_LPT_RAW
    if (ioperm(base, 3, 1) != 0) {
        info->sysError = errno;
        return FromErrno(errno);
    }
    return LPT_OK;
#else
    (void)base;
    return LPT_NOT_X86;
#endif
}

LptPort* Port(void* context) { return static_cast<LptPort*>(context); }

// ppdev: every access is an ioctl on the device file; a failed read reads 0xFF.
uint32_t PpdevClaim(void* c) { return ioctl(Port(c)->fd, PPCLAIM) == 0 ? LPT_OK : FromErrno(errno); }
void PpdevRelease(void* c) { ioctl(Port(c)->fd, PPRELEASE); }
void PpdevWriteData(void* c, uint8_t value) { ioctl(Port(c)->fd, PPWDATA, &value); }
uint8_t PpdevReadData(void* c) {
    uint8_t v = 0xFF;
    ioctl(Port(c)->fd, PPRDATA, &v);
    return v;
}
uint8_t PpdevReadStatus(void* c) {
    uint8_t v = 0xFF;
    ioctl(Port(c)->fd, PPRSTATUS, &v);
    return v;
}
void PpdevWriteControl(void* c, uint8_t value) { ioctl(Port(c)->fd, PPWCONTROL, &value); }
constexpr LptOps kPpdevOps{PpdevClaim, PpdevRelease, PpdevWriteData, PpdevReadData, PpdevReadStatus, PpdevWriteControl};

#ifdef PELMO_LPT_RAW
// Raw I/O ports: nothing to claim (ioperm was granted at open).
unsigned short Register(void* c, uint32_t offset) { return static_cast<unsigned short>(Port(c)->base + offset); }
uint32_t RawClaim(void*) { return LPT_OK; }
void RawRelease(void*) {}
void RawWriteData(void* c, uint8_t value) { outb(value, Register(c, 0)); }
uint8_t RawReadData(void* c) { return inb(Register(c, 0)); }
uint8_t RawReadStatus(void* c) { return inb(Register(c, 1)); }
void RawWriteControl(void* c, uint8_t value) { outb(value, Register(c, 2)); }
constexpr LptOps kRawOps{RawClaim, RawRelease, RawWriteData, RawReadData, RawReadStatus, RawWriteControl};
#endif

}  // namespace

void LptSystemDeviceName(uint32_t portNumber, char* buffer, uint32_t size) {
    std::snprintf(buffer, size, "/dev/parport%u", portNumber - 1);
}

void LptSystemClose(LptPort* port) {
    if (port->fd >= 0) close(port->fd);
}

uint32_t LptOpen(uint32_t portNumber, uint32_t base, LptPort** port, LptOpenInfo* info) {
    *info = LptOpenInfo{};
    *port = nullptr;
    void* model = nullptr;
    if (!LptSimulatedModel(base, &model, info)) return info->result;
    char path[96] = {};
    uint32_t backend = LPT_BACKEND_RAW;
    if (model) {
        backend = LPT_BACKEND_SIM;
    } else if (portNumber >= 1 && portNumber <= 4) {
        backend = LPT_BACKEND_PPDEV;
        LptDevicePath(portNumber, path, sizeof path);
    } else if (int n = ParportWithBase(base); n >= 0) {
        backend = LPT_BACKEND_PPDEV;
        std::snprintf(path, sizeof path, "/dev/parport%d", n);
    }
    LptPort* free = nullptr;
    if ((*port = LptShareOpen(base, backend, model, &free)) != nullptr) {
        info->backend = backend;
        std::snprintf(info->path, sizeof info->path, "%s", path);
        return LPT_OK;
    }
    if (free == nullptr) {
        info->sysError = EMFILE;
        return info->result = LPT_SYSTEM;
    }
    if (backend == LPT_BACKEND_SIM) {
        info->backend = LPT_BACKEND_SIM;
        LptOpenSimulated(free, base, model);
        *port = free;
        return LPT_OK;
    }
    LptPort p;
    p.backend = backend;
    p.base = base;
    uint32_t r = LPT_OK;
    if (backend == LPT_BACKEND_PPDEV) {
        r = OpenPpdev(path, &p, info);
        p.ops = &kPpdevOps;
        p.context = free;
    } else {
        r = OpenRaw(base, info);  // fails where there are no raw ports, so no table is needed there
#ifdef PELMO_LPT_RAW
        p.ops = &kRawOps;
        p.context = free;
#endif
    }
    if (r != LPT_OK) return info->result = r;
    p.users = 1;
    *free = p;
    *port = free;
    return LPT_OK;
}
