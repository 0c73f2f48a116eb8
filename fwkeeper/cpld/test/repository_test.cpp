#include "fwkeeper/cpld/repository.hpp"

#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace cpld
{

void PrintTo(const cpld_dev_info& d, std::ostream* os)
{
    *os << d.i2c_dev << "@" << int(d.update_addr) << ":" << d.device_name;
}

namespace
{

using testing::ElementsAre;
using testing::IsEmpty;

std::string mb(const std::string& platform, int bus, const std::string& addr)
{
    return R"({"platformId":")" + platform +
           R"(","device_type":"MB_CPLD","i2c_bus":)" + std::to_string(bus) +
           R"(,"update_addr":")" + addr + R"(","mux_control":false})";
}

std::string bpn_cpld(const std::string& name, int bus)
{
    return R"({"device_name":")" + name +
           R"(","mux_i2c_bus":3,"mux_addr":"0x70","mux_type":"pca9548",)"
           R"("i2c_bus":)" +
           std::to_string(bus) + R"(,"update_addr":"0x40","ver_addr":"0x41"})";
}

std::string bpn(const std::string& platform, const std::string& cplds)
{
    return R"({"platformId":")" + platform +
           R"(","device_type":"Q55_BPN_CPLD","mux_control":true,)"
           R"("cpld_i2c":[)" +
           cplds + "]}";
}

class Repository : public testing::Test
{
  protected:
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("cpld-repo-" + std::to_string(getpid()));
    std::string repo = dir / "cpld_repo.json";
    std::string prod = dir / "prodID";
    std::vector<std::string> journal;

    void SetUp() override
    {
        std::filesystem::create_directories(dir);
        write(prod, "0x1B6A\n");
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
    }
    static void write(const std::string& path, const std::string& text)
    {
        std::ofstream(path) << text;
    }
    std::vector<cpld_dev_info> load(const std::string& json)
    {
        write(repo, json);
        return load_devices(repo, prod, [this](const std::string& m) {
            journal.push_back(m);
        });
    }
};

TEST_F(Repository, ProductIdComparesLow16BitsOfHexPlatformIds)
{
    write(prod, "0x1b6a\n");
    auto devices = load(
        "[{\"mb_cpld_repo\":[" + mb("0x1B6A", 1, "0x40") + "," +
        mb("1b6a", 2, "40") + "," + mb("0x11B6A", 3, "0x40") + "," +
        mb("0x1B6B", 4, "0x40") + "," + mb("0x1B6Azz", 5, "0x140") + "," +
        mb("0x100001B6A", 6, "0x100000041") + "]}]");
    // Numbers wider than 32 bits read the same on a 32-bit BMC.
    EXPECT_THAT(devices,
                ElementsAre(cpld_dev_info{"/dev/i2c-1", 0x40, "MBCPLD"},
                            cpld_dev_info{"/dev/i2c-2", 0x40, "MBCPLD"},
                            cpld_dev_info{"/dev/i2c-3", 0x40, "MBCPLD"},
                            cpld_dev_info{"/dev/i2c-5", 0x40, "MBCPLD"},
                            cpld_dev_info{"/dev/i2c-6", 0x41, "MBCPLD"}));
    EXPECT_THAT(journal, IsEmpty());
}

TEST_F(Repository, ProductIdText)
{
    EXPECT_EQ(product_id_from_text("0x1B6A"), 0x1B6A);
    EXPECT_EQ(product_id_from_text("7018\r\n0x5"), 0x1B6A);
    EXPECT_EQ(product_id_from_text("0x11B6A"), 0x11B6); // first 6 characters
    EXPECT_EQ(product_id_from_text("0x00001B6A"), 0);
    EXPECT_EQ(product_id_from_text("-1"), 0xFFFF);
    EXPECT_EQ(product_id_from_text(""), 0);
}

TEST_F(Repository, UnreadableProductIdSelectsBoardZero)
{
    const std::string entries =
        "[{\"mb_cpld_repo\":[" + mb("0x1B6A", 1, "1") + "," +
        mb("none", 2, "2") + "," + mb("0x10000", 3, "3") + "]}]";
    const std::vector<cpld_dev_info> board_zero{{"/dev/i2c-2", 2, "MBCPLD"},
                                                {"/dev/i2c-3", 3, "MBCPLD"}};
    for (const char* text : {"0x00001B6A\n", "0\n", "", "zz"})
    {
        journal.clear();
        write(prod, text);
        EXPECT_EQ(load(entries), board_zero) << text;
        EXPECT_THAT(journal, ElementsAre("Fail to acquire onboard productID"));
    }
    journal.clear();
    std::filesystem::remove(prod);
    EXPECT_EQ(load(entries), board_zero);
    EXPECT_THAT(journal, ElementsAre("Fail to acquire onboard productID"));
}

TEST_F(Repository, DevicesInRootOrderMainBoardFirst)
{
    // Object roots are walked over their values like arrays.
    for (const char* open_close : {"[]", "{}"})
    {
        std::string first = open_close[0] == '[' ? "" : "\"a\":";
        std::string second = open_close[0] == '[' ? "" : "\"b\":";
        auto devices = load(
            std::string(1, open_close[0]) + first + "{\"bpn_cpld_repo\":[" +
            bpn("0x1B6A",
                bpn_cpld("BPNCPLD", 8) + "," + bpn_cpld("BPNCPLD2", 9)) +
            "],\"mb_cpld_repo\":[" + mb("0x1B6A", 263, "0x40") + "]}," +
            second + "{\"mb_cpld_repo\":[" + mb("0x1B6A", 7, "0x2f") + "]}" +
            open_close[1]);
        EXPECT_THAT(devices,
                    ElementsAre(cpld_dev_info{"/dev/i2c-7", 0x40, "MBCPLD"},
                                cpld_dev_info{"/dev/i2c-8", 0x40, "BPNCPLD"},
                                cpld_dev_info{"/dev/i2c-9", 0x40, "BPNCPLD2"},
                                cpld_dev_info{"/dev/i2c-7", 0x2f, "MBCPLD"}));
    }
}

TEST_F(Repository, SkipsOtherBoardsAndDeviceTypes)
{
    // Entries of other boards need nothing but their platformId.
    auto devices = load(
        R"([{"mb_cpld_repo":[{"platformId":"0x1234"},)"
        R"({"platformId":"0x1B6A","device_type":"BMC_CPLD"}],)"
        R"("bpn_cpld_repo":[{"platformId":"0x1B6A","device_type":"MB_CPLD"}]},)"
        R"({"other":1}])");
    EXPECT_THAT(devices, IsEmpty());
    EXPECT_THAT(journal, IsEmpty());
}

TEST_F(Repository, UnusableRepositoryStopsStartUp)
{
    const std::string good_mb = mb("0x1B6A", 1, "0x40");
    const std::vector<std::string> broken{
        "[{\"mb_cpld_repo\":[" + good_mb + "]}", // not JSON
        "",
        "{\"a\":1} trailing",
        "42",
        "null",
        "[1]",
        R"([{"mb_cpld_repo":{}}])",
        R"([{"mb_cpld_repo":[7]}])",
        R"([{"mb_cpld_repo":[{"device_type":"MB_CPLD"}]}])",
        R"([{"mb_cpld_repo":[{"platformId":6826}]}])",
        R"([{"mb_cpld_repo":[{"platformId":"0x1B6A"}]}])",
        R"([{"mb_cpld_repo":[{"platformId":"0x1B6A","device_type":"MB_CPLD",)"
        R"("update_addr":"0x40","mux_control":false}]}])",
        R"([{"mb_cpld_repo":[{"platformId":"0x1B6A","device_type":"MB_CPLD",)"
        R"("i2c_bus":"7","update_addr":"0x40","mux_control":false}]}])",
        R"([{"mb_cpld_repo":[{"platformId":"0x1B6A","device_type":"MB_CPLD",)"
        R"("i2c_bus":7.5,"update_addr":"0x40","mux_control":false}]}])",
        R"([{"mb_cpld_repo":[{"platformId":"0x1B6A","device_type":"MB_CPLD",)"
        R"("i2c_bus":7,"update_addr":64,"mux_control":false}]}])",
        R"([{"mb_cpld_repo":[{"platformId":"0x1B6A","device_type":"MB_CPLD",)"
        R"("i2c_bus":7,"update_addr":"0x40","mux_control":0}]}])",
        R"([{"bpn_cpld_repo":[{"platformId":"0x1B6A",)"
        R"("device_type":"Q55_BPN_CPLD","cpld_i2c":[]}]}])",
        R"([{"bpn_cpld_repo":[{"platformId":"0x1B6A",)"
        R"("device_type":"Q55_BPN_CPLD","mux_control":1,"cpld_i2c":{}}]}])",
        "[{\"bpn_cpld_repo\":[" + bpn("0x1B6A", "[]") + "]}]",
        "[{\"bpn_cpld_repo\":[" +
            bpn("0x1B6A", R"({"device_name":"BPNCPLD","mux_i2c_bus":3,)"
                          R"("mux_addr":"0x70","mux_type":"pca9548",)"
                          R"("i2c_bus":8,"update_addr":"0x40"})") +
            "]}]",
    };
    for (const std::string& text : broken)
    {
        journal.clear();
        EXPECT_THROW(load(text), startup_error) << text;
        ASSERT_FALSE(journal.empty()) << text;
        EXPECT_THAT(journal.back(), testing::EndsWith("start-up stopped"));
    }
    journal.clear();
    EXPECT_THROW(load("[{\"mb_cpld_repo\":[" + good_mb), startup_error);
    EXPECT_THAT(journal, ElementsAre("CPLD config JSON parse fail",
                                     testing::EndsWith("start-up stopped")));
}

TEST_F(Repository, MissingRepositoryStopsStartUp)
{
    EXPECT_THROW(
        load_devices(dir / "absent.json", prod,
                     [this](const std::string& m) { journal.push_back(m); }),
        startup_error);
    EXPECT_THAT(journal, ElementsAre("CPLD config JSON file not found",
                                     "CPLD config JSON parse fail",
                                     testing::EndsWith("start-up stopped")));
}

} // namespace
} // namespace cpld
