// A crash-dump library without the monitor entry: only a similar name.
extern "C" __attribute__((visibility("default"))) int VyxOpenDumpMonitorEx(int, const char16_t*, int, int)
{
    return 0;
}
