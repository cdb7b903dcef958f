// cReg's answers on every kind of store: the same .reg text is served by a .reg store and
// by a hive file built from it, and both must answer alike.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/reg_file_store.h"
#include "platform/settings_store.h"
#include "store_factory.h"
#include "support/creg.h"
#include "support/text.h"
#include "test_support.h"

namespace vornel {
namespace {

using platform::RegistryView;

const char* kSystem =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000002\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\Old]\r\n"
    "\"|\"=\"a name of nothing but the separator\"\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Enum\\PCI\\VEN_1&DEV_2\\3&1]\r\n"
    "@=\"default\"\r\n"
    "\"A\"=\"1\"\r\n"
    "\"B\"=\"2\"\r\n"
    "\"Empty\"=\"\"\r\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    "\"NoList\"=hex(7):00,00,00,00\r\n"
    "\"Exp\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,25,00,5c,00,78,00,20,00,\\\r\n"
    "  00,00\r\n"
    "\"Unknown\"=hex(2):25,00,4e,00,4f,00,50,00,45,00,25,00,00,00\r\n"
    "\"Wide\"=hex:48,00,69,00,00,00\r\n"
    "\"Narrow\"=hex:48,69,20,00\r\n"
    "\"ZeroBin\"=hex:\r\n"
    "\"Num\"=dword:fffffffe\r\n"
    "\"Big\"=hex(5):00,00,01,02\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Enum\\PCI\\VEN_1&DEV_2\\3&1\\Device Parameters]\r\n"
    "@=\"only the default\"\r\n";

class CRegOnStores : public ::testing::TestWithParam<test::StoreKind> {
protected:
    void SetUp() override {
        std::string error;
        store_ = test::MakeStore(GetParam(), kSystem, "HKEY_LOCAL_MACHINE\\SYSTEM", dir_.path(), &error);
        ASSERT_TRUE(store_) << error;
        if (auto* r = dynamic_cast<platform::RegFileStore*>(store_.get())) r->SetWritable(false);
        view_.Mount("HKEY_LOCAL_MACHINE\\SYSTEM", store_,
                    GetParam() == test::StoreKind::kRegFile ? "HKEY_LOCAL_MACHINE\\SYSTEM" : "");
        reg_ = std::make_unique<cReg>(view_);
        reg_->SetEnvironment({{"SystemRoot", "C:\\WINDOWS"}});
    }
    RegData Get(std::string_view value, RegReadInfo& info, RegReadOptions opt = {}) {
        return reg_->cP_GetRegValue(hkey::kLocalMachine, kDev, value, info, opt);
    }
    static constexpr const char* kDev = "SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1&DEV_2\\3&1";

    test::TempDir dir_;
    std::shared_ptr<platform::RegistryStore> store_;
    RegistryView view_;
    std::unique_ptr<cReg> reg_;
};

TEST_P(CRegOnStores, MissingKeysAndValues) {
    RegReadInfo info;
    RegData d = reg_->cP_GetRegValue(hkey::kLocalMachine, "SYSTEM\\CurrentControlSet\\Nope", "A", info);
    EXPECT_TRUE(d.IsEmpty());
    EXPECT_TRUE(info.bNoData);
    EXPECT_TRUE(info.bValNoExist);
    EXPECT_EQ(info.lDataType, 0u);
    EXPECT_EQ(reg_->cP_EnumRegKeysOrValues(hkey::kLocalMachine, "SYSTEM\\Nope", true, false, false, false), "");
    EXPECT_FALSE(reg_->cP_IsSubKeys(hkey::kLocalMachine, "SYSTEM\\Nope"));
    EXPECT_FALSE(reg_->p_IsRegKeyExist(hkey::kLocalMachine, "SYSTEM\\Nope"));
    EXPECT_FALSE(reg_->p_IsRegKeyExist(hkey::kDynData, "Config Manager"));

    // A missing value of an existing key: 232, or 0 when cleaned.
    d = Get("Missing", info);
    EXPECT_EQ(d.kind, RegData::Kind::kInt32);
    EXPECT_EQ(d.number, 232);
    EXPECT_TRUE(info.bValNoExist);
    RegReadOptions clean;
    clean.clean = true;
    d = Get("Missing", info, clean);
    EXPECT_EQ(d.kind, RegData::Kind::kInt16);
    EXPECT_EQ(d.number, 0);
}

TEST_P(CRegOnStores, ValuesWithoutDataAndConversions) {
    RegReadInfo info;
    RegData d = Get("Empty", info);  // a terminator only
    EXPECT_TRUE(info.bNoData);
    EXPECT_FALSE(info.bValNoExist);
    EXPECT_EQ(info.lDataType, 1u);
    EXPECT_EQ(d.number, 232);
    d = Get("NoList", info);  // an empty list
    EXPECT_TRUE(info.bNoData);
    EXPECT_FALSE(info.bValNoExist);
    EXPECT_TRUE(d.IsEmpty());

    EXPECT_EQ(Get("A", info).text, "1");
    EXPECT_FALSE(info.bNoData);
    EXPECT_EQ(Get("Multi", info).text, std::string("a\0b", 3));
    EXPECT_EQ(info.lDataType, 7u);
    EXPECT_EQ(Get("Exp", info).text, "C:\\WINDOWS\\x");  // expanded and cleaned
    RegReadOptions raw;
    raw.noExpandEnvStr = true;
    EXPECT_EQ(Get("Exp", info, raw).text, "%SystemRoot%\\x ");
    EXPECT_EQ(Get("Unknown", info).text, "%NOPE%");
    EXPECT_EQ(Get("Num", info).number, -2);
    EXPECT_EQ(Get("Big", info).number, 0x102);
    EXPECT_EQ(Get("ZeroBin", info).number, 232);
    EXPECT_EQ(Get("Wide", info).kind, RegData::Kind::kBytes);

    RegReadOptions asText;
    asText.binaryAsString = true;
    EXPECT_EQ(Get("Wide", info, asText).text, "Hi");
    EXPECT_EQ(Get("Narrow", info, asText).text, "Hi");
    RegReadOptions first;
    first.firstElement = true;
    d = Get("Narrow", info, first);
    EXPECT_EQ(d.kind, RegData::Kind::kByte);
    EXPECT_EQ(d.number, 0x48);
    EXPECT_EQ(Get("", info).text, "default");
}

TEST_P(CRegOnStores, EnumerationJoinsWithBars) {
    const uint32_t lm = hkey::kLocalMachine;
    EXPECT_EQ(reg_->cP_EnumRegKeysOrValues(lm, "SYSTEM\\CurrentControlSet\\Enum", true, false, false, false), "PCI");
    EXPECT_EQ(reg_->cP_EnumRegKeysOrValues(lm, "SYSTEM", true, false, false, false),
              "ControlSet001|ControlSet002|Select");
    const std::string all = reg_->cP_EnumRegKeysOrValues(lm, kDev, false, true, false, false);
    // The default value is skipped; no-data values print their cleaned 0.
    EXPECT_EQ(all.substr(0, 20), "A=1|B=2|Empty=0|Mult");
    EXPECT_NE(all.find(std::string("Multi=a\0b|", 10)), std::string::npos);
    EXPECT_NE(all.find("|Exp=C:\\WINDOWS\\x|"), std::string::npos);
    EXPECT_EQ(reg_->cP_EnumRegKeysOrValues(lm, kDev, false, false, false, false).substr(0, 12), "A|B|Empty|Mu");
    EXPECT_TRUE(reg_->cP_IsSubKeys(lm, kDev));
    EXPECT_FALSE(reg_->cP_IsSubKeys(lm, std::string(kDev) + "\\Device Parameters"));
    // Whether that list has a name in it: the default value's empty name is none.
    EXPECT_TRUE(reg_->HasValueNames(lm, kDev));
    EXPECT_FALSE(reg_->HasValueNames(lm, std::string(kDev) + "\\Device Parameters"));
    EXPECT_FALSE(reg_->HasValueNames(lm, "SYSTEM\\CurrentControlSet\\Enum"));
    EXPECT_FALSE(reg_->HasValueNames(lm, "SYSTEM\\Nope"));
    EXPECT_FALSE(reg_->HasValueNames(lm, "SYSTEM\\ControlSet001\\Enum\\Old"));
}

TEST_P(CRegOnStores, ControlSetFollowsSelectCurrent) {
    EXPECT_TRUE(reg_->p_IsRegKeyExist(hkey::kLocalMachine, "SYSTEM\\CurrentControlSet\\Enum\\PCI"));
    EXPECT_FALSE(reg_->p_IsRegKeyExist(hkey::kLocalMachine, "SYSTEM\\CurrentControlSet\\Enum\\Old"));
    EXPECT_TRUE(reg_->p_IsRegKeyExist(hkey::kLocalMachine, "SYSTEM\\ControlSet001\\Enum\\Old"));
}

TEST_P(CRegOnStores, OfflineStoresRefuseWrites) {
    long err = 0;
    EXPECT_TRUE(reg_->cP_WriteRegValue(hkey::kLocalMachine, kDev, "A", RegData::Text("x"), regaccess::kWrite, true, 0, err));
    EXPECT_EQ(err, 5);
    EXPECT_TRUE(reg_->cP_IsRegKeyAlive(hkey::kLocalMachine, kDev, false));
    EXPECT_EQ(reg_->cP_DeleteRegValue(hkey::kLocalMachine, kDev, "A"), 5);
    EXPECT_EQ(reg_->cP_DeleteRegValue(hkey::kLocalMachine, "", "A"), -1002);
    RegReadInfo info;
    EXPECT_EQ(Get("A", info).text, "1");
}

INSTANTIATE_TEST_SUITE_P(Stores, CRegOnStores, ::testing::ValuesIn(test::AllStoreKinds()),
                         [](const auto& info) { return test::StoreKindName(info.param); });

TEST(CRegSettings, WritesCreateKeysAndPersistPrivately) {
    test::TempDir dir;
    const auto file = dir.path() / "cfg" / "settings.reg";
    const std::string sid = "S-1-5-21-1-2-3-1001";
    {
        RegistryView view;
        platform::MountSettings(view, std::make_shared<platform::SettingsStore>(file), sid);
        cReg reg(view);
        long err = 0;
        const std::string key = "SOFTWARE\\Kestrova Toolkit\\Configuration";
        EXPECT_FALSE(reg.cP_WriteRegValue(hkey::kCurrentUser, key, "UUID", RegData::Text("abc"), regaccess::kWrite, true, 0, err));
        EXPECT_EQ(err, 0);
        EXPECT_TRUE(std::filesystem::exists(file));
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_FALSE(reg.cP_WriteRegValue(hkey::kCurrentUser, key, "Path", RegData::Text("%TEMP%\\x"), regaccess::kWrite, false, 0, err));
        EXPECT_FALSE(reg.cP_WriteRegValue(hkey::kCurrentUser, key, "On", RegData::Bool(true), regaccess::kWrite, false, 0, err));
        EXPECT_FALSE(reg.cP_WriteRegValue(hkey::kCurrentUser, key, "L", RegData::Text(std::string("a\0b", 3)), regaccess::kWrite, false, 7, err));
        EXPECT_TRUE(reg.cP_WriteRegValue(hkey::kCurrentUser, key, "Bad", RegData::Text("1"), regaccess::kWrite, false, 9, err));
        EXPECT_EQ(err, 13);
        EXPECT_TRUE(reg.cP_WriteRegValue(hkey::kCurrentUser, "SOFTWARE\\Missing", "x", RegData::Text("1"), regaccess::kWrite, false, 0, err));
        EXPECT_EQ(err, 2);
        // The same store answers under the user's SID.
        EXPECT_EQ(reg.GetText(hkey::kUsers, sid + "\\" + key, "UUID"), "abc");
    }
    // A fresh view over the saved file reads it back.
    RegistryView view;
    platform::MountSettings(view, std::make_shared<platform::SettingsStore>(file), sid);
    cReg reg(view);
    const std::string key = "SOFTWARE\\Kestrova Toolkit\\Configuration";
    RegReadInfo info;
    EXPECT_EQ(reg.cP_GetRegValue(hkey::kCurrentUser, key, "Path", info, {.noExpandEnvStr = true}).text, "%TEMP%\\x");
    EXPECT_EQ(info.lDataType, 2u);
    EXPECT_EQ(reg.cP_GetRegValue(hkey::kCurrentUser, key, "On", info).number, -1);
    EXPECT_EQ(reg.cP_GetRegValue(hkey::kCurrentUser, key, "L", info).text, std::string("a\0b", 3));
    EXPECT_EQ(reg.cP_DeleteRegValue(hkey::kCurrentUser, key, "UUID"), 0);
    EXPECT_EQ(reg.cP_DeleteRegValue(hkey::kCurrentUser, key, "UUID"), 2);
    uint64_t h = 0;
    bool existed = false;
    EXPECT_EQ(reg.cP_CreateRegNode(hkey::kCurrentUser, key, h, existed), 0);
    EXPECT_TRUE(existed);
    EXPECT_EQ(reg.cP_CreateRegNode(hkey::kCurrentUser, key + "\\New", h, existed), 0);
    EXPECT_FALSE(existed);
    // A key read while it is missing is found as soon as a write creates it.
    const std::string later = key + "\\Later";
    EXPECT_EQ(reg.GetText(hkey::kCurrentUser, later, "v"), "");
    long err = 0;
    EXPECT_FALSE(reg.cP_WriteRegValue(hkey::kCurrentUser, later, "v", RegData::Text("now"), regaccess::kWrite, true, 0, err));
    EXPECT_EQ(reg.GetText(hkey::kCurrentUser, later, "v"), "now");
}

// Loading builds every key and value anew: none of that may write the file back, or a
// load cut short would leave part of it, and every start would rewrite it.
TEST(CRegSettings, LoadingSettingsLeavesTheFileAsItWas) {
    test::TempDir dir;
    const std::string text =
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Kestrova Toolkit\\Configuration]\r\n"
        "\"UUID\"=\"abc\"\r\n\"Width\"=dword:00000400\r\n\"Bad\"=hex:zz\r\n";
    const auto file = dir.Write("settings.reg", text);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    RegistryView view;
    std::string warning;
    platform::MountSettings(view, std::make_shared<platform::SettingsStore>(file, &warning), "S-1");
    EXPECT_NE(warning.find("line skipped"), std::string::npos);
    cReg reg(view);
    EXPECT_EQ(reg.GetText(hkey::kCurrentUser, "SOFTWARE\\Kestrova Toolkit\\Configuration", "UUID"), "abc");
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(test::ReadFile(file), text);
    // A write is still saved at once, with what was loaded.
    long err = 0;
    EXPECT_FALSE(reg.cP_WriteRegValue(hkey::kCurrentUser, "SOFTWARE\\X", "v", RegData::Text("1"), regaccess::kWrite, true, 0, err));
    RegistryView again;
    platform::MountSettings(again, std::make_shared<platform::SettingsStore>(file), "S-1");
    cReg reread(again);
    EXPECT_EQ(reread.GetText(hkey::kCurrentUser, "SOFTWARE\\Kestrova Toolkit\\Configuration", "UUID"), "abc");
    EXPECT_EQ(reread.GetText(hkey::kCurrentUser, "SOFTWARE\\X", "v"), "1");
}

TEST(CRegSettings, AnUnreadableSettingsFileIsNeverOverwritten) {
    test::TempDir dir;
    const auto file = dir.Write("settings.reg", "not a registry file\r\nprecious\r\n");
    std::string warning;
    RegistryView view;
    platform::MountSettings(view, std::make_shared<platform::SettingsStore>(file, &warning), "S-1");
    EXPECT_NE(warning.find("settings.reg"), std::string::npos);
    cReg reg(view);
    long err = 0;
    EXPECT_TRUE(reg.cP_WriteRegValue(hkey::kCurrentUser, "SOFTWARE\\X", "v", RegData::Text("1"), regaccess::kWrite, true, 0, err));
    EXPECT_EQ(test::ReadFile(file), "not a registry file\r\nprecious\r\n");
}

TEST(CRegView, LaterMountsOverrideValuesAndSubkeysUnite) {
    auto base = std::make_shared<platform::RegFileStore>();
    auto extra = std::make_shared<platform::RegFileStore>();
    std::string e;
    ASSERT_TRUE(base->Import("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"v\"=\"base\"\r\n\"w\"=\"only\"\r\n", "a", &e));
    ASSERT_TRUE(extra->Import("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\a]\r\n\"V\"=\"extra\"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\r\n", "b", &e));
    RegistryView view;
    view.Mount("", base);
    view.Mount("", extra);
    view.Mount("HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION", std::make_shared<platform::RegFileStore>());
    cReg reg(view);
    EXPECT_EQ(reg.GetText(hkey::kLocalMachine, "SOFTWARE\\A", "v"), "extra");
    EXPECT_EQ(reg.GetText(hkey::kLocalMachine, "SOFTWARE\\A", "w"), "only");
    EXPECT_EQ(reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, "SOFTWARE", true, false, false, false), "A|B");
    EXPECT_EQ(reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, "SOFTWARE\\A", false, true, false, false), "v=extra|w=only");
    EXPECT_EQ(reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, "SOFTWARE\\A", false, false, false, false), "v|w");
    // Mount points make their parents exist.
    EXPECT_EQ(reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, "", true, false, false, false), "HARDWARE|SOFTWARE");
    EXPECT_TRUE(reg.p_IsRegKeyExist(hkey::kLocalMachine, "HARDWARE"));
    // HKEY_CLASSES_ROOT is the machine's SOFTWARE\Classes.
    EXPECT_FALSE(reg.p_IsRegKeyExist(hkey::kClassesRoot, ""));
}

TEST(CRegView, SubkeyNamesAreListedCleaned) {
    auto store = std::make_shared<platform::RegFileStore>();
    std::string e;
    ASSERT_TRUE(store->Import("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\  Padded  ]\r\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\   ]\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zed]\r\n",
                              "a", &e))
        << e;
    RegistryView view;
    view.Mount("", store);
    cReg reg(view);
    // Blanks around a name go; a name of blanks only leaves no entry and no separator.
    EXPECT_EQ(reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, "SOFTWARE", true, false, false, false), "Padded|Zed");
}

TEST(CRegView, DeepKeysAreFoundWhateverWasOpenedBefore) {
    auto base = std::make_shared<platform::RegFileStore>();
    auto usb = std::make_shared<platform::RegFileStore>();
    std::string e;
    ASSERT_TRUE(base->Import("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Set\\Enum\\PCI\\Dev\\Inst]\r\n\"A\"=\"1\"\r\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\Set\\Enum\\USB\\Dev]\r\n\"C\"=\"3\"\r\n", "a", &e));
    ASSERT_TRUE(usb->Import("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X\\Dev]\r\n\"B\"=\"2\"\r\n", "b", &e));
    RegistryView view;
    view.Mount("", base);
    // A mount point deep in the tree: its key is the store's, not a child of its parent's.
    view.Mount("HKEY_LOCAL_MACHINE\\SYSTEM\\Set\\Enum\\USB", usb, "HKEY_LOCAL_MACHINE\\X");
    cReg reg(view);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, "SYSTEM\\Set\\Enum", true, false, false, false), "PCI|USB");
        EXPECT_EQ(reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, "SYSTEM\\Set\\Enum\\USB", true, false, false, false), "Dev");
        EXPECT_EQ(reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, "SYSTEM\\Set\\Enum\\USB\\Dev", false, false, false, false), "C|B");
        EXPECT_EQ(reg.GetText(hkey::kLocalMachine, "SYSTEM\\Set\\Enum\\USB\\dev\\", "B"), "2");
        EXPECT_EQ(reg.GetText(hkey::kLocalMachine, "SYSTEM\\Set\\Enum\\PCI\\DEV\\inst", "A"), "1");
        EXPECT_FALSE(reg.p_IsRegKeyExist(hkey::kLocalMachine, "SYSTEM\\Set\\Enum\\PCI\\Dev\\Inst\\None\\Deeper"));
        // A subkey of an opened key is the key its path names: stepped to below the
        // mount point, looked up by path above it, where the mount joins in.
        const auto dev = reg.OpenForReading(hkey::kLocalMachine, "SYSTEM\\Set\\Enum\\PCI\\Dev");
        EXPECT_EQ(reg.GetText(reg.OpenSubKeyForReading(dev, hkey::kLocalMachine, "SYSTEM\\Set\\Enum\\PCI\\Dev", "inst\\"),
                              hkey::kLocalMachine, "A"),
                  "1");
        EXPECT_EQ(reg.OpenSubKeyForReading(dev, hkey::kLocalMachine, "SYSTEM\\Set\\Enum\\PCI\\Dev", "Inst\\None"), nullptr);
        const auto enumKey = reg.OpenForReading(hkey::kLocalMachine, "SYSTEM\\Set\\Enum");
        const auto usbDev = reg.OpenSubKeyForReading(enumKey, hkey::kLocalMachine, "SYSTEM\\Set\\Enum", "USB\\Dev");
        EXPECT_EQ(reg.GetText(usbDev, hkey::kLocalMachine, "B"), "2");
        EXPECT_EQ(reg.GetText(usbDev, hkey::kLocalMachine, "C"), "3");
    }
}

}  // namespace
}  // namespace vornel
