#pragma once
#include <cstdint>

#include "link/errors.h"
#include "link/protocol.h"
#include "link/transport.h"

// The kind driver of a transport whose record talks to its unit through a line: USB and
// serial. Every call but open takes the record's line and hands on to the transport.
template <typename Record, auto LineOf, auto Close, auto Write, auto Read, auto Compare, auto SetReset, auto GetReset,
          auto SetFold>
struct LineKindDriver {
    static Record* Rec(void* impl) { return static_cast<Record*>(impl); }

    // What a good open tells the slot: the record, and level and identity from the
    // unit's status answer.
    static uint32_t Opened(Record* r, LinkOpenResult* out) {
        out->impl = r;
        out->Level = r->status[STATUS_LEVEL];
        out->Info = static_cast<uintptr_t>(r->status[STATUS_ID_HIGH]) << 8 | r->status[STATUS_ID_LOW];
        return LINK_OK;
    }

    static void close(void* impl) { Close(Rec(impl)); }
    static uint32_t write(void* impl, uint32_t address, const uint8_t* data, uint32_t length) {
        return Write(LineOf(Rec(impl)), address, data, length);
    }
    static uint32_t read(void* impl, uint8_t* buffer, uint32_t address, uint32_t length) {
        return Read(LineOf(Rec(impl)), buffer, address, length);
    }
    static uint32_t compare(void* impl, uint32_t* equal, uint8_t* unitByte, uint32_t address, const uint8_t* data,
                            uint32_t length) {
        return Compare(LineOf(Rec(impl)), equal, unitByte, address, data, length);
    }
    static uint32_t setReset(void* impl, uint32_t level) { return SetReset(LineOf(Rec(impl)), level); }
    static uint32_t getReset(void* impl, uint32_t* level) { return GetReset(LineOf(Rec(impl)), level); }
    static uint32_t setFold(void* impl, uint32_t deviceSize, uint32_t ramSize) {
        return SetFold(LineOf(Rec(impl)), deviceSize, ramSize);
    }

    static constexpr KindDriver With(uint32_t (*open)(uint32_t, uint32_t, uint32_t, LinkOpenResult*)) {
        return KindDriver{open, close, write, read, compare, setReset, getReset, setFold};
    }
};
