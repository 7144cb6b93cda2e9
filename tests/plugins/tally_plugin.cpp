// A stand-in for the suite's telemetry library: it implements the tally
// client interface and appends one line per call to the file named by
// ZTALLY_TEST_LOG, so tests can check every call and field of every report.
// ZTALLY_TEST_MODE: "ok" (default), "noinit" (initialise returns 0),
// "null" (the export returns no object).
#include "diagnostics/ZTallyClient.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Names and values the service passes are ASCII; anything else shows as '?'.
std::string narrow(LPCWSTR s)
{
    std::string out;
    for (; s && *s; ++s)
        out += *s < 0x80 ? char(*s) : '?';
    return out;
}

void record(const std::string& line)
{
    const char* path = getenv("ZTALLY_TEST_LOG");
    if (!path)
        return;
    if (FILE* f = fopen(path, "a")) {
        fprintf(f, "%s\n", line.c_str());
        fclose(f);
    }
}

bool mode(const char* m)
{
    const char* v = getenv("ZTALLY_TEST_MODE");
    return v && !strcmp(v, m);
}

class TallyClient final : public SearchEngine::ITallyClient2 {
public:
    void reserved0() override { record("call 0"); }
    int initialize() override
    {
        record("initialize");
        return mode("noinit") ? 0 : 1;
    }
    void release() override
    {
        record("release");
        delete this;
    }
    void reserved3() override { record("call 3"); }
    void reserved4() override { record("call 4"); }
    void addInt(LPCWSTR name, int value) override { record("int " + narrow(name) + " " + std::to_string(value)); }
    void addString(LPCWSTR name, LPCWSTR value) override { record("string " + narrow(name) + " " + narrow(value)); }
    void reserved7() override { record("call 7"); }
    void write(int flags) override { record("write " + std::to_string(flags)); }
    void reserved9() override { record("call 9"); }
    void reserved10() override { record("call 10"); }
    void reserved11() override { record("call 11"); }
    void reserved12() override { record("call 12"); }
    void reserved13() override { record("call 13"); }
    void reserved14() override { record("call 14"); }
    void reserved15() override { record("call 15"); }
    void reserved16() override { record("call 16"); }
    void reserved17() override { record("call 17"); }
    void setTable(LPCWSTR description) override { record("table " + narrow(description)); }
};

} // namespace

extern "C" __attribute__((visibility("default"))) SearchEngine::ITallyClient2* GetExportInterface(LPCWSTR name)
{
    record("export " + narrow(name));
    if (mode("null") || narrow(name) != "ITallyClient2")
        return nullptr;
    return new TallyClient;
}
