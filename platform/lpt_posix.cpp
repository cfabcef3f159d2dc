#include "platform/lpt.h"

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
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/lpt_unit.h"

struct LptPort {
    uint32_t backend = LPT_BACKEND_NONE;
    uint32_t base = 0;
    int fd = -1;
    sim::LptPortModel* sim = nullptr;
    uint32_t users = 0;
};

namespace {

constexpr int kMaxPorts = 17;  // one per transport record at most
LptPort g_ports[kMaxPorts];

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

}  // namespace

void LptDevicePath(uint32_t portNumber, char* buffer, uint32_t size) {
    char name[16];
    std::snprintf(name, sizeof name, "ZAMLPT%u", portNumber);
    const char* over = std::getenv(name);
    if (over && *over)
        std::snprintf(buffer, size, "%s", over);
    else
        std::snprintf(buffer, size, "/dev/parport%u", portNumber - 1);
}

uint32_t LptOpen(uint32_t portNumber, uint32_t base, LptPort** port, LptOpenInfo* info) {
    *info = LptOpenInfo{};
    *port = nullptr;
    std::string simError;
    if (!sim::AttachLptUnitsFromEnvironment(&simError)) {
        info->backend = LPT_BACKEND_SIM;
        std::snprintf(info->reason, sizeof info->reason, "%s", simError.c_str());
        return info->result = LPT_SIM_CONFIG;
    }
    char path[96] = {};
    sim::LptPortModel* model = sim::FindLptPort(base);
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
    // A port already open in this process is shared: one claim covers every unit on it.
    LptPort* free = nullptr;
    for (LptPort& p : g_ports) {
        if (p.users == 0) {
            if (!free) free = &p;
        } else if (p.base == base && p.backend == backend && p.sim == model) {
            ++p.users;
            info->backend = backend;
            std::snprintf(info->path, sizeof info->path, "%s", path);
            *port = &p;
            return LPT_OK;
        }
    }
    if (free == nullptr) {
        info->sysError = EMFILE;
        return info->result = LPT_SYSTEM;
    }
    LptPort p;
    p.backend = backend;
    p.base = base;
    uint32_t r = LPT_OK;
    if (backend == LPT_BACKEND_SIM) {
        info->backend = LPT_BACKEND_SIM;
        p.sim = model;
    } else if (backend == LPT_BACKEND_PPDEV) {
        r = OpenPpdev(path, &p, info);
    } else {
        r = OpenRaw(base, info);
    }
    if (r != LPT_OK) return info->result = r;
    p.users = 1;
    *free = p;
    *port = free;
    return LPT_OK;
}

void LptClose(LptPort* port) {
    if (port == nullptr || port->users == 0) return;
    if (--port->users > 0) return;
    if (port->fd >= 0) close(port->fd);
    *port = LptPort{};
}

uint32_t LptClaim(LptPort* port) {
    if (port->backend == LPT_BACKEND_SIM) return port->sim->claim() ? LPT_OK : LPT_BUSY;
    if (port->backend != LPT_BACKEND_PPDEV) return LPT_OK;
    return ioctl(port->fd, PPCLAIM) == 0 ? LPT_OK : FromErrno(errno);
}

void LptRelease(LptPort* port) {
    if (port->backend == LPT_BACKEND_PPDEV) ioctl(port->fd, PPRELEASE);
}

void LptWriteData(LptPort* port, uint8_t value) {
    switch (port->backend) {
    case LPT_BACKEND_SIM: port->sim->writeData(value); break;
    case LPT_BACKEND_PPDEV: ioctl(port->fd, PPWDATA, &value); break;
#ifdef PELMO_LPT_RAW
    case LPT_BACKEND_RAW: outb(value, static_cast<unsigned short>(port->base)); break;
#endif
    default: break;
    }
}

uint8_t LptReadData(LptPort* port) {
    uint8_t v = 0xFF;
    switch (port->backend) {
    case LPT_BACKEND_SIM: v = port->sim->readData(); break;
    case LPT_BACKEND_PPDEV: ioctl(port->fd, PPRDATA, &v); break;
#ifdef PELMO_LPT_RAW
    case LPT_BACKEND_RAW: v = inb(static_cast<unsigned short>(port->base)); break;
#endif
    default: break;
    }
    return v;
}

uint8_t LptReadStatus(LptPort* port) {
    uint8_t v = 0xFF;
    switch (port->backend) {
    case LPT_BACKEND_SIM: v = port->sim->readStatus(); break;
    case LPT_BACKEND_PPDEV: ioctl(port->fd, PPRSTATUS, &v); break;
#ifdef PELMO_LPT_RAW
    case LPT_BACKEND_RAW: v = inb(static_cast<unsigned short>(port->base + 1)); break;
#endif
    default: break;
    }
    return v;
}

void LptWriteControl(LptPort* port, uint8_t value) {
    switch (port->backend) {
    case LPT_BACKEND_SIM: port->sim->writeControl(value); break;
    case LPT_BACKEND_PPDEV: ioctl(port->fd, PPWCONTROL, &value); break;
#ifdef PELMO_LPT_RAW
    case LPT_BACKEND_RAW: outb(value, static_cast<unsigned short>(port->base + 2)); break;
#endif
    default: break;
    }
}

uint32_t LptBackendOf(const LptPort* port) { return port ? port->backend : LPT_BACKEND_NONE; }

const char* LptResultText(uint32_t result) {
    switch (result) {
    case LPT_OK: return "ok";
    case LPT_NO_DEVICE: return "no such parallel port device";
    case LPT_NO_PERMISSION: return "permission denied";
    case LPT_NOT_PARPORT: return "not a parallel port device";
    case LPT_BUSY: return "port in use by another driver or program";
    case LPT_NOT_X86: return "raw I/O ports exist only on x86";
    case LPT_NO_IO_PORTS: return "this system offers no I/O-port access";
    case LPT_SIM_CONFIG: return "simulated port configuration is invalid";
    default: return "system failure";
    }
}
