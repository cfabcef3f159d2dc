// The driver host as the backend of platform/devio: at static initialisation this
// registers the table through which devio's opens and requests reach the I/O manager,
// so devio names nothing of the kernel. Built as an object library that pelmodevio
// hands to everything linking it (see kernel/CMakeLists.txt): nothing names this file.
#include "kernel/host.h"
#include "kernel/wdm.h"
#include "platform/devio.h"

namespace {

uint32_t MapStatus(NTSTATUS s) {
    switch (s) {
    case STATUS_SUCCESS: return DEV_SUCCESS;
    case STATUS_PENDING: return DEV_PENDING;
    case STATUS_CANCELLED: return DEV_CANCELLED;
    case STATUS_INVALID_PARAMETER: return DEV_INVALID_PARAMETER;
    case STATUS_NOT_IMPLEMENTED: return DEV_NOT_IMPLEMENTED;
    case STATUS_SHARING_VIOLATION: return DEV_SHARING_VIOLATION;
    case STATUS_DELETE_PENDING: return DEV_DELETE_PENDING;
    case STATUS_NO_MEMORY: return DEV_NO_MEMORY;
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_NO_SUCH_DEVICE: return DEV_NO_SUCH_DEVICE;
    case STATUS_IO_DEVICE_ERROR: return DEV_DEVICE_ERROR;
    case STATUS_DEVICE_NOT_CONNECTED: return DEV_DEVICE_GONE;
    case STATUS_INSUFFICIENT_RESOURCES: return DEV_INSUFFICIENT_RESOURCES;
    default: return NT_SUCCESS(s) ? DEV_SUCCESS : DEV_UNSUCCESSFUL;
    }
}

uint32_t Start() {
    PDRIVER_INITIALIZE entry = KeHostDriverEntry();
    return entry ? MapStatus(KeHostStart(entry)) : DEV_UNSUCCESSFUL;
}

uint32_t Open(const char* name, uint32_t shareMode, void** file) {
    FILE_OBJECT* f = nullptr;
    const NTSTATUS s = IoOpenFile(name, shareMode, &f);
    *file = f;
    return MapStatus(s);
}

void Close(void* file) { IoCloseFile(static_cast<FILE_OBJECT*>(file)); }

void Finished(IRP* irp, void* context) {
    DevRequestFinished(context, MapStatus(irp->IoStatus.Status), static_cast<uint32_t>(irp->IoStatus.Information));
}

uint32_t Submit(void* file, DevRequestKind kind, uint32_t code, const void* in, uint32_t inLength, void* out,
                uint32_t outLength, void* context, void** request) {
    const UCHAR major = kind == DEV_REQUEST_READ    ? IRP_MJ_READ
                        : kind == DEV_REQUEST_WRITE ? IRP_MJ_WRITE
                                                    : IRP_MJ_DEVICE_CONTROL;
    IRP* irp = nullptr;
    const NTSTATUS s = IoSubmitFileRequest(static_cast<FILE_OBJECT*>(file), major, code, in, inLength, out, outLength,
                                           Finished, context, &irp);
    *request = irp;
    return MapStatus(s);
}

void Reference(void* request) { IoReferenceIrp(static_cast<IRP*>(request)); }
void Dereference(void* request) { IoDereferenceIrp(static_cast<IRP*>(request)); }
void Cancel(void* request) { IoCancelIrp(static_cast<IRP*>(request)); }

constexpr DevBackend kBackend{KeHostRunning, Start,  KeHostStop, KeHostRelease, Open,
                              Close,         Submit, Reference,  Dereference,   Cancel};

struct Registration {
    Registration() { DevRegisterBackend(&kBackend); }
} g_registration;

}  // namespace
