// Files and volume devices through the Win32 handle calls.
#pragma once

#include "win32/win32_types.h"

#include <QString>

struct OVERLAPPED;
struct SECURITY_ATTRIBUTES;

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES* security, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, OVERLAPPED* overlapped);
BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPointer, DWORD moveMethod);
BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size);
BOOL SetEndOfFile(HANDLE handle);
BOOL FlushFileBuffers(HANDLE handle);
BOOL CreateDirectoryW(LPCWSTR pathName, SECURITY_ATTRIBUTES* security);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, OVERLAPPED* overlapped);
BOOL CancelIoEx(HANDLE handle, OVERLAPPED* overlapped);
BOOL GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                           LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                           LPDWORD fileSystemFlags, LPWSTR fileSystemNameBuffer, DWORD fileSystemNameSize);
// "C:\<NUL>D:\<NUL><NUL>"; returns the length without the final NUL, or the
// size needed when the buffer is too small.
DWORD GetLogicalDriveStringsW(DWORD bufferLength, LPWSTR buffer);

namespace Platform {
// A backslash path as the file system sees it: every '\' becomes '/'.
QString toNativePath(const QString& windowsPath);
// The drive letter of "\\.\X:" or "X:\" (upper case), or 0.
char16_t driveLetterOfVolumePath(const QString& path);
} // namespace Platform
