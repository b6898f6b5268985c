/* Lists what SetupAPI presents as HID interfaces, present or not, and whether each opens: the
 * Wine run's view below the program (tests/vm/vm_wine.sh prints it around a restart). */
#include <windows.h>

#include <setupapi.h>

#include <hidsdi.h>

#include <stdio.h>

static void list(DWORD flags, const char* what) {
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsA(&guid, NULL, NULL, flags | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        printf("%s: SetupDiGetClassDevs failed: %lu\n", what, GetLastError());
        return;
    }
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA item;
        ZeroMemory(&item, sizeof item);
        item.cbSize = sizeof item;
        if (!SetupDiEnumDeviceInterfaces(set, NULL, &guid, i, &item)) break;
        char buffer[1024];
        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A*)buffer;
        detail->cbSize = sizeof *detail;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &item, detail, sizeof buffer, NULL, NULL))
            continue;
        HANDLE h = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, NULL);
        const DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        printf("%s: %s flags %#lx opens: %s (%lu)\n", what, detail->DevicePath, item.Flags,
               error ? "no" : "yes", error);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    SetupDiDestroyDeviceInfoList(set);
}

int main(void) {
    list(DIGCF_PRESENT, "present");
    list(0, "known");
    return 0;
}
