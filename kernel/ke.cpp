// Kernel services without objects: lists, interlocked counters, events, pool,
// lookaside lists, work items.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "kernel/kernel_internal.h"
#include "kernel/wdm.h"

void InitializeListHead(LIST_ENTRY* head) { head->Flink = head->Blink = head; }
bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry) {
    entry->Blink = head->Blink;
    entry->Flink = head;
    head->Blink->Flink = entry;
    head->Blink = entry;
}
void RemoveEntryList(LIST_ENTRY* entry) {
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = entry;
}
LIST_ENTRY* RemoveHeadList(LIST_ENTRY* head) {
    LIST_ENTRY* e = head->Flink;
    if (e == head) return nullptr;
    RemoveEntryList(e);
    return e;
}

LONG InterlockedIncrement(LONG* t) { return __atomic_add_fetch(t, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LONG* t) { return __atomic_sub_fetch(t, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(LONG* t, LONG v) { return __atomic_exchange_n(t, v, __ATOMIC_SEQ_CST); }
LONG InterlockedCompareExchange(LONG* t, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(t, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
LONG InterlockedRead(LONG* t) { return __atomic_load_n(t, __ATOMIC_SEQ_CST); }

void KeInitializeEvent(KEVENT* e, EVENT_TYPE type, bool state) {
    e->Lock = new std::mutex;
    e->Cond = new std::condition_variable;
    e->Signalled = state;
    e->Type = type;
}
void KeUninitializeEvent(KEVENT* e) {
    delete e->Lock;
    delete e->Cond;
    e->Lock = nullptr;
    e->Cond = nullptr;
}
LONG KeSetEvent(KEVENT* e) {
    std::lock_guard<std::mutex> g(*e->Lock);
    LONG was = e->Signalled;
    e->Signalled = true;
    e->Cond->notify_all();
    return was;
}
void KeClearEvent(KEVENT* e) {
    std::lock_guard<std::mutex> g(*e->Lock);
    e->Signalled = false;
}
LONG KeReadStateEvent(KEVENT* e) {
    std::lock_guard<std::mutex> g(*e->Lock);
    return e->Signalled;
}
NTSTATUS KeWaitForSingleObject(KEVENT* e, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(*e->Lock);
    auto ready = [e] { return e->Signalled; };
    if (timeoutMs == 0xFFFFFFFFu) e->Cond->wait(g, ready);
    else if (!e->Cond->wait_for(g, std::chrono::milliseconds(timeoutMs), ready)) return STATUS_TIMEOUT;
    if (e->Type == SynchronizationEvent) e->Signalled = false;
    return STATUS_SUCCESS;
}
void KeDelayExecutionThread(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {
std::mutex g_poolLock;
uint32_t g_poolSkip = 0, g_poolFail = 0;
}  // namespace

void KeFailPoolAllocations(uint32_t skip, uint32_t count) {
    std::lock_guard<std::mutex> g(g_poolLock);
    g_poolSkip = skip;
    g_poolFail = count;
}

void* ExAllocatePool(size_t bytes) {
    {
        std::lock_guard<std::mutex> g(g_poolLock);
        if (g_poolFail) {
            if (g_poolSkip) --g_poolSkip;
            else {
                --g_poolFail;
                return nullptr;
            }
        }
    }
    return std::calloc(1, bytes ? bytes : 1);
}
void ExFreePool(void* p) { std::free(p); }

void ExInitializeNPagedLookasideList(NPAGED_LOOKASIDE_LIST* list, size_t size, uint32_t depth) {
    list->Lock = new std::mutex;
    list->FreeList = nullptr;
    list->Size = size < sizeof(LIST_ENTRY) ? sizeof(LIST_ENTRY) : size;
    list->Depth = depth;
    list->Count = 0;
}
void* ExAllocateFromNPagedLookasideList(NPAGED_LOOKASIDE_LIST* list) {
    {
        std::lock_guard<std::mutex> g(*list->Lock);
        if (list->FreeList) {
            LIST_ENTRY* e = list->FreeList;
            list->FreeList = e->Flink;
            --list->Count;
            std::memset(static_cast<void*>(e), 0, list->Size);
            return e;
        }
    }
    return ExAllocatePool(list->Size);
}
void ExFreeToNPagedLookasideList(NPAGED_LOOKASIDE_LIST* list, void* p) {
    {
        std::lock_guard<std::mutex> g(*list->Lock);
        if (list->Count < list->Depth) {
            auto* e = static_cast<LIST_ENTRY*>(p);
            e->Flink = list->FreeList;
            list->FreeList = e;
            ++list->Count;
            return;
        }
    }
    ExFreePool(p);
}
void ExDeleteNPagedLookasideList(NPAGED_LOOKASIDE_LIST* list) {
    while (list->FreeList) {
        LIST_ENTRY* e = list->FreeList;
        list->FreeList = e->Flink;
        ExFreePool(e);
    }
    delete list->Lock;
    list->Lock = nullptr;
}

// ---- the worker thread: work items and the PnP manager's deferred jobs ----

namespace {
struct Worker {
    std::mutex lock;
    std::condition_variable cond;
    std::deque<std::function<void()>> jobs;
    std::thread thread;
    bool running = false;
    bool busy = false;
    bool stop = false;
};
// Not destroyed at exit: its thread may still wait on it while the process exits.
// Given back by KiReleaseWorker once stopped (library unload).
Worker* g_worker = nullptr;
std::once_flag g_workerMade;
Worker& TheWorker() {
    std::call_once(g_workerMade, [] { g_worker = new Worker; });
    return *g_worker;
}
void WorkerLoop() {
    Worker& w = TheWorker();
    std::unique_lock<std::mutex> g(w.lock);
    for (;;) {
        w.cond.wait(g, [&] { return w.stop || !w.jobs.empty(); });
        if (w.jobs.empty()) break;
        auto job = std::move(w.jobs.front());
        w.jobs.pop_front();
        w.busy = true;
        g.unlock();
        job();
        g.lock();
        w.busy = false;
        w.cond.notify_all();
    }
}
}  // namespace

void KiQueueWork(std::function<void()> job) {
    Worker& w = TheWorker();
    std::lock_guard<std::mutex> g(w.lock);
    if (!w.running) {
        w.stop = false;
        w.running = true;
        w.thread = std::thread(WorkerLoop);
    }
    w.jobs.push_back(std::move(job));
    w.cond.notify_all();
}

void KiWaitWorkIdle() {
    Worker& w = TheWorker();
    std::unique_lock<std::mutex> g(w.lock);
    w.cond.wait(g, [&] { return w.jobs.empty() && !w.busy; });
}

bool KiOnWorker() {
    Worker& w = TheWorker();
    std::lock_guard<std::mutex> g(w.lock);
    return w.running && w.thread.get_id() == std::this_thread::get_id();
}

void KiStopWorker() {
    Worker& w = TheWorker();
    std::thread t;
    {
        std::lock_guard<std::mutex> g(w.lock);
        if (!w.running) return;
        w.stop = true;
        w.cond.notify_all();
        t = std::move(w.thread);
        w.running = false;
    }
    t.join();
}

bool KiReleaseWorker() {
    if (g_worker == nullptr) return true;
    {
        std::lock_guard<std::mutex> g(g_worker->lock);
        if (g_worker->running) return false;
    }
    delete g_worker;
    g_worker = nullptr;
    return true;
}

struct IO_WORKITEM {
    DEVICE_OBJECT* Device;
};

IO_WORKITEM* IoAllocateWorkItem(DEVICE_OBJECT* device) {
    auto* item = static_cast<IO_WORKITEM*>(ExAllocatePool(sizeof(IO_WORKITEM)));
    if (item) item->Device = device;
    return item;
}
void IoFreeWorkItem(IO_WORKITEM* item) { ExFreePool(item); }
void IoQueueWorkItem(IO_WORKITEM* item, PIO_WORKITEM_ROUTINE routine, void* context) {
    DEVICE_OBJECT* device = item->Device;
    KiQueueWork([device, routine, context] { routine(device, context); });
}
