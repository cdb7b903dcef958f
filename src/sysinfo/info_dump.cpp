// The diagnostic dump of the computer-information record. One table per kind of field
// names each field once, in record order.
#include <string>

#include "sysinfo/computer_info.h"

namespace vornel {

namespace {
using S = std::string ComputerInfo::*;
using B = bool ComputerInfo::*;

#define VORNEL_FIELD(f) {#f, &ComputerInfo::f}
const std::pair<const char*, S> kPaths[] = {
    VORNEL_FIELD(sExt),       VORNEL_FIELD(RASPath),     VORNEL_FIELD(sRootUM),       VORNEL_FIELD(sRootUNC),
    VORNEL_FIELD(sBootIni),   VORNEL_FIELD(sTempPath),   VORNEL_FIELD(sWinDirUM),     VORNEL_FIELD(sWinDirUNC),
    VORNEL_FIELD(sWinSysDirUM), VORNEL_FIELD(sWinSysDirUNC), VORNEL_FIELD(sWMPVer),   VORNEL_FIELD(sExplrVer),
    VORNEL_FIELD(sOSVersion), VORNEL_FIELD(sOEVer),      VORNEL_FIELD(sProductName),  VORNEL_FIELD(sRasBookName),
    VORNEL_FIELD(sAppDataPath), VORNEL_FIELD(sMSDOSSysPath)};
const std::pair<const char*, S> kIdentity[] = {
    VORNEL_FIELD(sComputerOEM), VORNEL_FIELD(sComputerModel), VORNEL_FIELD(sComputerID),
    VORNEL_FIELD(sComputerName), VORNEL_FIELD(sCurrentAccount), VORNEL_FIELD(CurSID),
    VORNEL_FIELD(sFireFoxVer),  VORNEL_FIELD(sCrntCntrlSetKey)};
const std::pair<const char*, B> kFlags[] = {
    VORNEL_FIELD(bAD), VORNEL_FIELD(bNT), VORNEL_FIELD(bNT4), VORNEL_FIELD(bWin2003), VORNEL_FIELD(bWin2003R2),
    VORNEL_FIELD(bWin2003EE), VORNEL_FIELD(bWin2K), VORNEL_FIELD(bWin95), VORNEL_FIELD(bWin95OSR2),
    VORNEL_FIELD(bWin98), VORNEL_FIELD(bWin98SE), VORNEL_FIELD(bWinMe), VORNEL_FIELD(bWin9x), VORNEL_FIELD(bLocal),
    VORNEL_FIELD(bProfile), VORNEL_FIELD(bWhistler), VORNEL_FIELD(bWhistlerPro), VORNEL_FIELD(bVista),
    VORNEL_FIELD(bVistaHomeBasic), VORNEL_FIELD(bVistaHomePremium), VORNEL_FIELD(bVistaSmallBusiness),
    VORNEL_FIELD(bVistaEnterprise), VORNEL_FIELD(bVistaUltimate), VORNEL_FIELD(bVistaStarter),
    VORNEL_FIELD(bLonghorn), VORNEL_FIELD(bWhistlerShellState), VORNEL_FIELD(bServer2008),
    VORNEL_FIELD(bServer2008Standard), VORNEL_FIELD(bServer2008Enterprise), VORNEL_FIELD(bServer2008Datacenter),
    VORNEL_FIELD(bServer2008Web), VORNEL_FIELD(bNoShares), VORNEL_FIELD(bNTServer), VORNEL_FIELD(bIsIEExist),
    VORNEL_FIELD(bIsIEDefault), VORNEL_FIELD(bNoNetwork), VORNEL_FIELD(b3xToNTUpgrade),
    VORNEL_FIELD(b9xToNTUpgrade), VORNEL_FIELD(bNTToNTUpgrade), VORNEL_FIELD(bOSUpgrade),
    VORNEL_FIELD(bNoAdminShares), VORNEL_FIELD(bIsFireFoxInstalled)};
const std::pair<const char*, S> kFolders[] = {
    VORNEL_FIELD(Themes), VORNEL_FIELD(Drives), VORNEL_FIELD(IEIcon), VORNEL_FIELD(WinDir), VORNEL_FIELD(MyMusic),
    VORNEL_FIELD(Printers), VORNEL_FIELD(MyVideos), VORNEL_FIELD(Resources), VORNEL_FIELD(SystemDir),
    VORNEL_FIELD(CachePath), VORNEL_FIELD(FontsPath), VORNEL_FIELD(MyPictures), VORNEL_FIELD(AdminTools),
    VORNEL_FIELD(AltStartup), VORNEL_FIELD(RecycleBin), VORNEL_FIELD(SendToPath), VORNEL_FIELD(RecentPath),
    VORNEL_FIELD(StartUpPath), VORNEL_FIELD(DesktopPath), VORNEL_FIELD(AppDataPath), VORNEL_FIELD(ProgramPath),
    VORNEL_FIELD(NetHoodPath), VORNEL_FIELD(HistoryPath), VORNEL_FIELD(CookiesPath), VORNEL_FIELD(UserDesktop),
    VORNEL_FIELD(SystemDirX86), VORNEL_FIELD(ControlPanel), VORNEL_FIELD(PersonalPath), VORNEL_FIELD(LocalSettPath),
    VORNEL_FIELD(FavoritesPath), VORNEL_FIELD(PrintHoodPath), VORNEL_FIELD(TemplatesPath), VORNEL_FIELD(StartMenuPath),
    VORNEL_FIELD(ProgramPathX86), VORNEL_FIELD(IE5ContentPath), VORNEL_FIELD(BaseProfilePath),
    VORNEL_FIELD(LocalAppDataPath), VORNEL_FIELD(StartMenuProgramPath), VORNEL_FIELD(NetworkNeighborhood),
    VORNEL_FIELD(CommMusic), VORNEL_FIELD(CommVideo), VORNEL_FIELD(CommPictures), VORNEL_FIELD(CommFavorites),
    VORNEL_FIELD(CommTemplates), VORNEL_FIELD(CommSendToPath), VORNEL_FIELD(CommAdminTools),
    VORNEL_FIELD(CommAltStartup), VORNEL_FIELD(CommAppDataPath), VORNEL_FIELD(CommStartUpPath),
    VORNEL_FIELD(CommStartMenuPath), VORNEL_FIELD(CommStartMenuProgramsPath), VORNEL_FIELD(CommDesktopPath),
    VORNEL_FIELD(CommProgramsPath), VORNEL_FIELD(CommPersonalPath)};
#undef VORNEL_FIELD

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "&H%X", v);
    return buf;
}
}  // namespace

std::vector<InfoSection> DescribeComputerInfo(const ComputerInfo& c) {
    std::vector<InfoSection> out;
    InfoSection paths{"Paths and versions", {}};
    for (const auto& [n, f] : kPaths) paths.lines.emplace_back(n, c.*f);
    out.push_back(std::move(paths));
    InfoSection id{"Identity", {}};
    for (const auto& [n, f] : kIdentity) id.lines.emplace_back(n, c.*f);
    out.push_back(std::move(id));
    InfoSection flags{"Flags", {}};
    for (const auto& [n, f] : kFlags) flags.lines.emplace_back(n, c.*f ? "True" : "False");
    out.push_back(std::move(flags));
    InfoSection nums{"Numbers", {}};
    auto num = [&](const char* n, long long v) { nums.lines.emplace_back(n, std::to_string(v)); };
    num("iServicePack", c.iServicePack);
    nums.lines.emplace_back("lHU", Hex(c.lHU));
    nums.lines.emplace_back("lHCR", Hex(c.lHCR));
    nums.lines.emplace_back("lHCU", Hex(c.lHCU));
    nums.lines.emplace_back("lHLM", Hex(c.lHLM));
    num("lOSValue", c.lOSValue);
    nums.lines.emplace_back("bBeefy", c.bBeefy ? "True" : "False");
    num("lOemID", c.lOemID);
    num("lPageSize", c.lPageSize);
    num("lProcessorSpeed", c.lProcessorSpeed);
    num("lMinimumApplicationAddress", c.lMinimumApplicationAddress);
    num("lMaximumApplicationAddress", c.lMaximumApplicationAddress);
    num("lActiveProcessorMask", c.lActiveProcessorMask);
    num("lNumberOfProcessors", c.lNumberOfProcessors);
    num("lProcessorType", c.lProcessorType);
    num("lAllocationGranularity", c.lAllocationGranularity);
    num("iProcessorLevel", c.iProcessorLevel);
    num("iProcessorRevision", c.iProcessorRevision);
    nums.lines.emplace_back("sProcDesc", c.sProcDesc);
    nums.lines.emplace_back("bIsDocked", c.bIsDocked ? "True" : "False");
    nums.lines.emplace_back("bIsx64", c.bIsx64 ? "True" : "False");
    out.push_back(std::move(nums));
    InfoSection folders{"Special folders", {}};
    for (const auto& [n, f] : kFolders) folders.lines.emplace_back(n, c.*f);
    out.push_back(std::move(folders));
    return out;
}

std::string ComputerInfoText(const ComputerInfo& info) {
    std::string t;
    for (const auto& s : DescribeComputerInfo(info)) {
        if (!t.empty()) t += "\n";
        t += "[" + s.title + "]\n";
        for (const auto& [n, v] : s.lines) t += n + "=" + v + "\n";
    }
    return t;
}

}  // namespace vornel
