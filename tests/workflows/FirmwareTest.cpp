// The firmware sequence against the simulated boot loader: what it says is shown, and an image it
// did not take is reported with its phase, whatever the phase's failure looks like.
#include "support/SimFixture.h"

#include "workflows/DeviceWork.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <random>

using namespace kv;

namespace {

struct Recorder final : IWorkHost {
    std::string all, bold, regular;
    void Clear() { all = bold = regular = {}; }
    void Print(const std::string& Text, MessageStyle Style) override {
        all += Text;
        if (Style == MessageStyle::Bold || Style == MessageStyle::Failure) bold += Text;
        if (Style == MessageStyle::Regular) regular += Text;
    }
};

struct Firmware : ::testing::Test {
    kvtest::SimEnvironment env;
    TkvComms comms;
    TkvTerminal term{comms};
    TkvbFiles files{term};
    Recorder host;
    TDeviceWork work{files, host};
    std::filesystem::path pc = std::filesystem::temp_directory_path() /
                               ("kv-firmware-" + std::to_string(std::random_device{}()));

    void SetUp() override {
        std::filesystem::create_directories(pc);
        ASSERT_TRUE(comms.Connect());
    }
    void TearDown() override { std::filesystem::remove_all(pc); }
    void IntoBootLoader() {
        term.SendLine("boot");
        env.clock.AdvanceMs(4000);
        comms.Disconnect();
        ASSERT_TRUE(comms.Connect());
        ASSERT_TRUE(term.IsBootLoader());
    }
    std::filesystem::path Image(const std::string& name, size_t size) {
        std::ofstream(pc / name, std::ios::binary) << std::string(size, 'F');
        return pc / name;
    }
};

TEST_F(Firmware, AGoodImageShowsTheBootLoadersWordsInEachPhase) {
    IntoBootLoader();
    const VerbResult result = work.Firmware.UploadBlfFile(Image("app.blf", 5000));
    EXPECT_EQ(result.What, Outcome::Done) << result.Detail;
    // Each phase's word, then what the boot loader said in it, in its own words.
    const bool first = env.device->faults.dialect == 1;
    const std::string said[] = {
        first ? "Received 5000 bytes" : "image in: 5000 bytes", first ? "Load OK" : "loading done",
        first ? "Verify OK" : "checksum good", first ? "Burn OK" : "flash written"};
    EXPECT_EQ(host.all, "\r\nUpload BLF\r\napp.blf / 5000\r\n" + said[0] + "\r\n load\r\n" +
                            said[1] + "\r\n verify\r\n" + said[2] + "\r\n burn\r\n" + said[3] +
                            "\r\n");
    EXPECT_EQ(host.regular, " / 5000\r\n" + said[0] + "\r\n" + said[1] + "\r\n" + said[2] + "\r\n" +
                                said[3] + "\r\n");
}

TEST_F(Firmware, APhaseThatSaysItFailedOrStaysSilentIsNamed) {
    struct Case {
        const char* name;
        std::function<void(sim::SimDevice&)> fault;
        Outcome what;
        std::string detail;
    };
    const bool first = env.device->faults.dialect == 1;
    const Case cases[] = {
        {"verify fails", [](sim::SimDevice& d) { d.faults.verifyFails = true; }, Outcome::Refused,
         first ? "verify phase: Verify FAILED" : "verify phase: checksum: fail"},
        {"burn fails", [](sim::SimDevice& d) { d.faults.burnFails = true; }, Outcome::Refused,
         first ? "burn phase: Burn FAILED" : "burn phase: flash write: fail"},
        {"burn too slow", [](sim::SimDevice& d) { d.config.burnMs = 20000; }, Outcome::Refused,
         "burn phase: no answer within 15 s"},
        {"image stopped", [](sim::SimDevice& d) { d.faults.imageRefuseAfter = 100; },
         Outcome::NotWhole,
         "load phase: the boot loader stopped the transfer: Error: image rejected"},
    };
    IntoBootLoader();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        env.device->faults = {};
        env.device->faults.dialect = first ? 1 : 2;
        env.device->config = {};
        c.fault(*env.device);
        host.Clear();
        const VerbResult result = work.Firmware.UploadBlfFile(Image("app.blf", 10000));
        EXPECT_EQ(result.What, c.what);
        EXPECT_EQ(result.Detail, c.detail);
        EXPECT_EQ(host.bold,
                  "app.blf" + ("app.blf: the boot loader did not take it (" + c.detail) + ")\r\n");
        env.clock.AdvanceMs(20000); // the rest of the phases goes by
    }
}

TEST_F(Firmware, AnApplicationThatDoesNotKnowTheLoadCommandRefusesTheImage) {
    const VerbResult result = work.Firmware.UploadBlfFile(Image("app.blf", 10));
    EXPECT_EQ(result.What, Outcome::Refused);
    EXPECT_EQ(result.Detail,
              "load phase: the boot loader did not ask for the image: Unknown command 'LOAD'");
    EXPECT_TRUE(env.device->images.empty());
}

TEST_F(Firmware, ADropReportsTheImagesNotTakenAndStillRuns) {
    env.device->faults.verifyFails = true;
    std::vector<std::filesystem::path> dropped = {Image("a.blf", 10), Image("b.blf", 20)};
    work.Firmware.LoadDroppedFirmware(dropped);
    ASSERT_EQ(work.State.NotMoved.size(), 2u);
    EXPECT_NE(work.State.NotMoved[0].find("b.blf: the boot loader did not take it (verify phase"),
              std::string::npos)
        << work.State.NotMoved[0];
    EXPECT_EQ(env.device->commands.back(), "run");
    const std::string tail = "Run firmware...\r\nFirmware not loaded: b.blf, a.blf\r\n";
    EXPECT_EQ(host.all.substr(host.all.size() - tail.size()), tail);
}

TEST_F(Firmware, AnEmptyImageIsRefusedBeforeTheDeviceRestarts) {
    std::vector<std::filesystem::path> dropped = {Image("empty.blf", 0)};
    work.Firmware.LoadDroppedFirmware(dropped);
    EXPECT_TRUE(env.device->commands.empty()) << env.device->commands.front();
    ASSERT_EQ(work.State.NotMoved.size(), 1u);
    EXPECT_EQ(work.State.NotMoved.Outcomes()[0], Outcome::PcFileError);
    EXPECT_EQ(host.all, "Firmware not loaded: empty.blf\r\n");
}

} // namespace
