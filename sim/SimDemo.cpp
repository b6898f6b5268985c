// The demo device's file system.
#include "SimDevice.h"

namespace kv::sim {

// ---- demo ----

std::unique_ptr<MemoryStorage> DemoStorage() {
    auto fs = std::make_unique<MemoryStorage>();
    const uint32_t t1 = PackFatTime(2026, 11, 20, 9, 14, 32);
    const uint32_t t2 = PackFatTime(2026, 12, 1, 17, 3, 8);
    fs->AddDir("/Lua", t1);
    fs->AddDir("/Config", t1);
    fs->AddFile("/Lua/main.lua",
                "-- Started by the device at power-up\r\n"
                "local util = require(\"lib.util\")\r\n\r\n"
                "function tick()\r\n  util.blink(1)\r\nend\r\n",
                t2);
    fs->AddFile("/Lua/lib/util.lua",
                "local M = {}\r\nfunction M.blink(n)\r\n  for i = 1, n do led(1) sleep(100) "
                "led(0) end\r\nend\r\nreturn M\r\n",
                t1);
    fs->AddFile("/Lua/lib/json.lua", "-- small JSON encoder\r\nreturn {}\r\n", t1);
    fs->AddFile("/Lua/report.lua", "print(\"report\")\r\n", t2);
    fs->AddFile("/Config/config.txt",
                "# Kovrin configuration\r\nname=demo\r\ninterval=60\r\nserver=example.net\r\n", t2);
    fs->AddFile("/Config/network/apn.txt", "apn=internet\r\n", t1);
    fs->AddFile("/Data/logs/2026-11-30.log", std::string(2000, 'L'), t1);
    fs->AddFile("/Data/logs/2026-12-01.log", std::string(3500, 'M'), t2);
    fs->AddFile("/Data/readings.csv", "time;value\r\n1;20.5\r\n2;20.7\r\n", t2);
    fs->AddFile("/readme.txt", "This is a simulated Kovrin device.\r\n", t1);
    return fs;
}

} // namespace kv::sim
