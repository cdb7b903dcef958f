#pragma once
// The computer-information record: the one description of the computer being scanned
// (Windows version and edition flags, names, maker, model, computer ID, processor,
// folders, registry roots). Filled once before anything else runs, read-only afterwards.
#include <cstdint>
#include <string>
#include <vector>

namespace vornel {

struct ComputerInfo {
    // Paths and versions.
    std::string sExt, RASPath, sRootUM, sRootUNC, sBootIni, sTempPath, sWinDirUM, sWinDirUNC, sWinSysDirUM,
        sWinSysDirUNC, sWMPVer, sExplrVer, sOSVersion, sOEVer, sUnnamedText, sProductName, sRasBookName,
        sAppDataPath, sMSDOSSysPath;
    // Identity.
    std::string sComputerOEM, sComputerModel, sComputerID, sComputerName, sCurrentAccount, CurSID, sFireFoxVer,
        sCrntCntrlSetKey;
    int32_t lUnnamed[5] = {};
    // Flags.
    bool bAD = false, bNT = false, bNT4 = false, bWin2003 = false, bWin2003R2 = false, bWin2003EE = false,
         bWin2K = false, bWin95 = false, bWin95OSR2 = false, bWin98 = false, bWin98SE = false, bWinMe = false,
         bWin9x = false, bLocal = false, bProfile = false, bWhistler = false, bWhistlerPro = false, bVista = false,
         bUnnamedFlag = false, bVistaHomeBasic = false, bVistaHomePremium = false, bVistaSmallBusiness = false,
         bVistaEnterprise = false, bVistaUltimate = false, bVistaStarter = false, bLonghorn = false,
         bWhistlerShellState = false, bServer2008 = false, bServer2008Standard = false,
         bServer2008Enterprise = false, bServer2008Datacenter = false, bServer2008Web = false, bNoShares = false,
         bNTServer = false, bIsIEExist = false, bIsIEDefault = false, bNoNetwork = false, b3xToNTUpgrade = false,
         b9xToNTUpgrade = false, bNTToNTUpgrade = false, bOSUpgrade = false, bNoAdminShares = false,
         bIsFireFoxInstalled = false;
    // Numbers.
    int16_t iServicePack = 0;
    uint32_t lHU = 0, lHCR = 0, lHCU = 0, lHLM = 0;
    int32_t lOSValue = 0;
    bool bBeefy = false;
    int32_t lOemID = 0, lPageSize = 0, lProcessorSpeed = 0, lMinimumApplicationAddress = 0,
            lMaximumApplicationAddress = 0, lActiveProcessorMask = 0, lNumberOfProcessors = 0, lProcessorType = 0,
            lAllocationGranularity = 0;
    int16_t iProcessorLevel = 0, iProcessorRevision = 0;
    std::string sProcDesc;
    bool bIsDocked = false, bIsx64 = false;
    // Special folders (Windows paths of the scanned installation).
    std::string Themes, Drives, IEIcon, WinDir, MyMusic, Printers, MyVideos, Resources, SystemDir, CachePath,
        FontsPath, MyPictures, AdminTools, AltStartup, RecycleBin, SendToPath, RecentPath, StartUpPath, DesktopPath,
        AppDataPath, ProgramPath, NetHoodPath, HistoryPath, CookiesPath, UserDesktop, SystemDirX86, ControlPanel,
        PersonalPath, LocalSettPath, FavoritesPath, PrintHoodPath, TemplatesPath, StartMenuPath, ProgramPathX86,
        IE5ContentPath, BaseProfilePath, LocalAppDataPath, StartMenuProgramPath, NetworkNeighborhood;
    // All-users folders.
    std::string CommMusic, CommVideo, CommPictures, CommFavorites, CommTemplates, CommSendToPath, CommAdminTools,
        CommAltStartup, CommAppDataPath, CommStartUpPath, CommStartMenuPath, CommStartMenuProgramsPath,
        CommDesktopPath, CommProgramsPath, CommPersonalPath;

    // The Vista family: Vista and Server 2008 and every later Windows.
    bool VistaFamily() const { return bVista || bServer2008; }
};

// One section of the diagnostic dump: a title and name=value lines in record order.
struct InfoSection {
    std::string title;
    std::vector<std::pair<std::string, std::string>> lines;
};

// The record as the diagnostic dump prints it: every field, by section.
std::vector<InfoSection> DescribeComputerInfo(const ComputerInfo& info);

// The dump as text ("[Section]" then name=value lines, sections apart by an empty line).
std::string ComputerInfoText(const ComputerInfo& info);

}  // namespace vornel
