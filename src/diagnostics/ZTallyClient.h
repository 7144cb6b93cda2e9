// The client interface of the suite's telemetry library ztally.dll
// (libztally.so here) as the service uses it: an object whose virtual
// operations are called by their position in its table. Positions the
// service does not call are kept as placeholders so that the used ones sit
// where the library puts them. No virtual destructor: it would take table
// positions of its own.
#pragma once

#include "win32/win32_types.h"

namespace SearchEngine {

class ITallyClient2 {
public:
    virtual void reserved0() = 0;                              // 0
    virtual int initialize() = 0;                              // 1: non-zero when ready
    virtual void release() = 0;                                // 2: the object is gone afterwards
    virtual void reserved3() = 0;                              // 3
    virtual void reserved4() = 0;                              // 4
    virtual void addInt(LPCWSTR name, int value) = 0;          // 5
    virtual void addString(LPCWSTR name, LPCWSTR value) = 0;   // 6
    virtual void reserved7() = 0;                              // 7
    virtual void write(int flags) = 0;                         // 8
    virtual void reserved9() = 0;                              // 9
    virtual void reserved10() = 0;                             // 10
    virtual void reserved11() = 0;                             // 11
    virtual void reserved12() = 0;                             // 12
    virtual void reserved13() = 0;                             // 13
    virtual void reserved14() = 0;                             // 14
    virtual void reserved15() = 0;                             // 15
    virtual void reserved16() = 0;                             // 16
    virtual void reserved17() = 0;                             // 17
    virtual void setTable(LPCWSTR description) = 0;            // 18

protected:
    ~ITallyClient2() = default;
};

// The library's export "GetExportInterface": the object implementing the
// named interface, or null. Windows calls it __stdcall; x86-64 Linux has one
// calling convention.
typedef ITallyClient2* (*GetExportInterfaceProc)(LPCWSTR interfaceName);

} // namespace SearchEngine
