#include "scan/device_scan.h"

#include <array>
#include <optional>
#include <system_error>

#include "inf/install_files.h"
#include "platform/profile_reader.h"
#include "platform/system_image.h"
#include "scan/device_classes.h"
#include "scan/driver_version.h"
#include "scan/printer_scan.h"
#include "support/error_log.h"
#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel {

namespace {
constexpr const char* kModule = "mDrivers";
constexpr const char* kDeviceClassesRoot = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";

// The text after the first ";" of a Vista-family value ("@oem3.inf,%desc%;Name"); a value
// without ";" stays whole.
std::string AfterSemicolon(const std::string& s) {
    const size_t at = s.find(';');
    return at == std::string::npos ? s : s.substr(at + 1);
}

std::string UnknownIfEmpty(const std::string& s) { return s.empty() || s == "0" ? "UNKNOWN" : s; }

// Copied a run at a time: hardware ID lists run to hundreds of characters.
std::string RemoveChars(std::string_view s, std::string_view chars) {
    std::array<bool, 256> drop{};
    for (char c : chars) drop[static_cast<unsigned char>(c)] = true;
    std::string r;
    r.reserve(s.size());
    size_t run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (!drop[static_cast<unsigned char>(s[i])]) continue;
        r.append(s.data() + run, i - run);
        run = i + 1;
    }
    r.append(s.data() + run, s.size() - run);
    return r;
}
}  // namespace

DeviceScan::DeviceScan(ScanContext& ctx, ScanObserver& observer, ReportList& rows)
    : ctx_(ctx), observer_(observer), rows_(rows) {}

DeviceScan::~DeviceScan() = default;

std::string DeviceScan::Text(const std::string& key, const char* value) {
    return ctx_.reg.GetText(hkey::kLocalMachine, key, value);
}

std::string DeviceScan::Text(const platform::RegistryView::KeyRef& key, const char* value) {
    return ctx_.reg.GetText(key, hkey::kLocalMachine, value);
}

std::vector<std::string> DeviceScan::SubKeys(const std::string& key) {
    const std::string list = ctx_.reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, key, true, false, false, false);
    if (list.empty()) return {};
    return text::Split(list, "|");
}

void DeviceScan::mP_AddRecordStats(const std::string& line, bool noStatus) {
    GuardedRun(kModule, "mP_AddRecordStats", [&] { observer_.OnLogLine(line, noStatus); });
}

void DeviceScan::Step() {
    progress_.Advance();
    observer_.OnProgress(progress_.Value());
    observer_.OnSummary(SummaryText::kPercent, progress_.PercentText() + "% complete");
}

ScanResult DeviceScan::mP_InitializeDrivers(const ScanOptions& options) {
    options_ = options;
    result_ = ScanResult{};
    icons_ = ClassIconSet{};
    const ComputerInfo& info = ctx_.info;

    // Start.
    rows_.Clear();
    observer_.OnRowsCleared();
    progress_ = ScanProgress{};
    observer_.OnProgress(0);
    observer_.OnSummary(SummaryText::kPercent, "0% complete");
    observer_.OnSummary(SummaryText::kElapsed, "Elapsed time:");
    observer_.OnSummary(SummaryText::kComputerName, "Computer name: " + info.sComputerName);
    observer_.OnSummary(SummaryText::kMake, info.sComputerOEM.empty() ? "Make: Unknown" : "Make: " + info.sComputerOEM);
    const std::string model = text::Trim(info.sComputerModel);
    observer_.OnSummary(SummaryText::kModel, model.empty() ? "Model: Unknown" : "Model: " + model);
    observer_.OnSummary(SummaryText::kDeviceClasses,
                        "Device classes found: " + std::to_string(ClassCount(ctx_, false)));

    ctx_.profiles.StartScan();
    classRootKey_ = ctx_.reg.OpenForReading(hkey::kLocalMachine, ctx_.ClassRoot());
    locator_ = std::make_unique<inf::InstallFileLocator>(ctx_);
    // What one scan learnt of the installation's files is not kept for the next.
    ctx_.fileVersions.Clear();
    signatures_.clear();
    stopping_.store(false, std::memory_order_relaxed);
    fileStepsRun_ = 0;
    handedOverFinished_.store(0, std::memory_order_relaxed);
    std::optional<FileStage> stage;
    if (options_.fileThread) {
        stage.emplace();
        // The count of the device tree for the progress bar reads only the registry, which
        // this thread leaves alone until the walk: the file thread counts while this one
        // writes the document's head and loads the common devices.
        count_.progress = &progress_;
        count_.reg = &ctx_.reg;
        count_.info = &info;
        stage->Submit(count_);
        prepare_.locator = locator_.get();
        stage->Submit(prepare_);
    }

    std::string why;
    if (!document_.Begin(info.sComputerName, options.documentFile) || !common_.Load(options.commonDataFile, &why)) {
        result_.error = "QRT_MSXML_VALIDATE_ERR";
        if (!document_.ErrorText().empty()) result_.error += ": " + document_.ErrorText();
        else if (!why.empty()) result_.error += ": " + why;
        ReportError(kModule, "mP_InitializeDrivers", kErrMsxmlValidate, "QRT_MSXML_VALIDATE_ERR", why);
        return result_;
    }
    if (stage) {
        stage->Wait(count_);
        LogCapture::Replay(count_.Log());
    } else {
        progress_.mP_SetPGBandStatusBar(true, ctx_.reg, info);
    }

    try {
        Walk(stage);
        if (!observer_.StopRequested()) mP_EnumPrintServerDrivers(*this);
    } catch (...) {
        ReportError(kModule, "mP_InitializeDrivers");
    }

    // Finish: the records found so far are saved, also after a stop request. What the
    // locator learnt is taken apart on the file thread meanwhile: tens of thousands of
    // names and listings, most of a millisecond.
    if (stage) {
        retire_.locator = std::move(locator_);
        stage->Submit(retire_);
    }
    result_.stopped = observer_.StopRequested();
    result_.saved = document_.Save();
    if (!result_.saved) result_.error = "the driver document could not be written: " + document_.ErrorText();
    result_.records = document_.RecordCount();
    result_.completed = result_.saved && !result_.stopped;
    stage.reset();
    locator_.reset();
    versionFolders_.Close();
    fileThreadVersionFolders_.Close();
    classRootKey_ = nullptr;
    if (result_.stopped) {
        rows_.Clear();
        observer_.OnRowsCleared();
    }
    return result_;
}

void DeviceScan::CountJob::Run() { progress->mP_SetPGBandStatusBar(true, *reg, *info); }

void DeviceScan::PrepareJob::Run() {
    GuardedRun(kModule, "mP_InitializeDrivers", [&] { locator->Prepare(); });
}

void DeviceScan::Walk(std::optional<FileStage>& stage) {
    // The file steps of each instance run on a thread of their own while this one reads the
    // registry for the next instances; records are finished here, in tree order.
    stage_ = stage ? &*stage : nullptr;
    try {
        WalkTree();
        Flush(0);
        // The locator's readying logs nothing unless it failed; its records go after the
        // devices', which did not wait for it. With no device handed over nothing has waited
        // for it yet, and the file thread must be idle before this one goes on to the
        // printers, which ask the installation's folders too.
        if (stage_) {
            stage_->Wait(prepare_);
            LogCapture::Replay(prepare_.Log());
        }
    } catch (...) {
        stage.reset();  // runs what it was handed, which still lives in pending_
        stage_ = nullptr;
        pending_.clear();
        throw;
    }
    // The stage stays for the locator's taking apart (see mP_InitializeDrivers).
    stage_ = nullptr;
}

void DeviceScan::WalkTree() {
    const std::string root = ctx_.EnumRoot();
    for (const auto& bus : SubKeys(root)) {
        if (observer_.StopRequested()) return;
        bool announced = false;
        const auto devices = SubKeys(root + bus);
        for (const auto& device : devices) {
            if (observer_.StopRequested()) return;
            const bool badUsb = text::UpperAscii(device) == "VID_0000&PID_0000";
            devicePath_ = root + bus + "\\" + device;
            deviceKey_ = ctx_.reg.OpenForReading(hkey::kLocalMachine, devicePath_);
            for (const auto& instance : SubKeys(devicePath_)) {
                if (observer_.StopRequested()) return;
                std::unique_ptr<Pending> p = ReadInstance(bus, device, instance, badUsb, announced, devices.size());
                if (p->kept) {
                    if (stage_) HandOver(*p);
                    else FileStage::RunHere(*p);
                }
                pending_.push_back(std::move(p));
                Flush(stage_ ? kInFlight : 0);
                StepAfterPending();
            }
            StepAfterPending();
        }
        StepAfterPending();
    }
    deviceKey_ = nullptr;
}

void DeviceScan::StepAfterPending() {
    if (pending_.empty()) Step();
    else ++pending_.back()->steps;
}

void DeviceScan::Flush(size_t keep) {
    // Past the limit, the oldest half is finished at once, so that the two threads meet
    // once every many instances rather than once for each.
    const size_t target = pending_.size() > keep ? keep / 2 : pending_.size();
    while (!pending_.empty()) {
        if (observer_.StopRequested()) {
            // As if the walk had stopped before them: those not finished leave no trace.
            stopping_.store(true, std::memory_order_relaxed);
            for (const auto& p : pending_)
                if (p->kept && stage_) stage_->Wait(*p);
            pending_.clear();
            return;
        }
        Pending& head = *pending_.front();
        const bool ready = !head.kept || head.Done();
        if (!ready && pending_.size() <= target) return;
        if (!ready) {
            // Jobs end in the order given: one wait for a job a batch ahead, not one for
            // each, so that this thread sleeps and wakes once for the batch and then
            // finishes it while the file thread runs the later ones.
            size_t last = std::min(pending_.size() - target - 1, kFinishBatch);
            while (last > 0 && !pending_[last]->kept) --last;
            stage_->Wait(*pending_[last]);
        }
        FinishHead();
    }
}

void DeviceScan::FinishHead() {
    std::unique_ptr<Pending> done = std::move(pending_.front());
    pending_.pop_front();
    if (done->kept) handedOverFinished_.fetch_add(1, std::memory_order_relaxed);
    FinishInstance(*done);
    for (int i = 0; i < done->steps; ++i) Step();
}

bool DeviceScan::HeadReady() {
    return !pending_.empty() && !observer_.StopRequested() && (!pending_.front()->kept || pending_.front()->Done());
}

void DeviceScan::HandOver(Pending& p) {
    // A full ring means the file thread is far behind: rather than wait idle for a place,
    // this thread finishes the records already done, which it would do later anyway.
    while (!stage_->TrySubmit(p)) {
        if (!HeadReady()) {
            stage_->Submit(p);
            return;
        }
        FinishHead();
    }
}

bool DeviceScan::IsLegacyDriver(const std::string& instancePath, const platform::RegistryView::KeyRef& instanceKey) {
    if (ctx_.info.bWin9x || ctx_.info.bNT4) return false;
    if (text::IFind(instancePath, "\\ENUM\\ROOT\\") == std::string::npos) return false;
    const std::string cls = Text(instanceKey, "Class");
    return cls.empty() || text::UpperAscii(cls) == "LEGACYDRIVER";
}

bool DeviceScan::IsConnected(const std::string& bus, const std::string& instancePath,
                             const platform::RegistryView::KeyRef& instanceKey) {
    const ComputerInfo& info = ctx_.info;
    if (info.bWin9x && !info.bNT) {
        // The present-device list lives in the dynamic-data hive, which an installation
        // that is not running does not have.
        RegReadInfo ri;
        ctx_.reg.cP_GetRegValue(hkey::kDynData, "Config Manager\\Enum", "", ri);
        return false;
    }
    const std::string upper = text::UpperAscii(bus);
    if (upper == "USB" || upper == "USBSTOR" || upper == "V1394") {
        std::string name = Text(
            ctx_.reg.OpenSubKeyForReading(instanceKey, hkey::kLocalMachine, instancePath, "Device Parameters"),
            "SymbolicName");
        if (name.empty()) return false;
        if (name.back() != '}') name += '}';
        const size_t hash = name.rfind('#');
        const std::string iface = hash == std::string::npos ? name : name.substr(hash + 1);
        const std::string link = text::ReplaceAll(name, "\\??\\", "##?#");
        // The interface's key serves many devices and is kept; the keys below it are each
        // device's own and are stepped to.
        const std::string ifaceKey = kDeviceClassesRoot + iface;
        const auto control = ctx_.reg.OpenSubKeyForReading(ctx_.reg.OpenForReading(hkey::kLocalMachine, ifaceKey),
                                                           hkey::kLocalMachine, ifaceKey, link + "\\#\\Control");
        RegReadInfo ri;
        const RegData linked = ctx_.reg.cP_GetRegValue(control, hkey::kLocalMachine, "Linked", ri);
        return !ri.bNoData && linked.kind == RegData::Kind::kInt32 && linked.number > 0;
    }
    return ctx_.reg.OpenSubKeyForReading(instanceKey, hkey::kLocalMachine, instancePath, "Control") != nullptr;
}

std::unique_ptr<DeviceScan::Pending> DeviceScan::ReadInstance(const std::string& bus, const std::string& device,
                                                             const std::string& instance, bool badUsb, bool& busAnnounced,
                                                             size_t busDevices) {
    auto p = std::make_unique<Pending>(*this);
    // What a fault or a log record in these steps leaves is kept for FinishInstance, which
    // writes it where a one-thread scan would have.
    const LogCapture capture(p->logA);
    GuardedRun(kModule, "mP_InitializeDrivers", [&] { ReadRegistrySteps(*p, bus, device, instance, badUsb,
                                                                         busAnnounced, busDevices); });
    return p;
}

void DeviceScan::ReadRegistrySteps(Pending& p, const std::string& bus, const std::string& device,
                                   const std::string& instance, bool badUsb, bool& busAnnounced, size_t busDevices) {
    const ComputerInfo& info = ctx_.info;
    const bool vista = info.VistaFamily();
    const bool nineX = info.bWin9x && !info.bNT;
    const std::string root = ctx_.EnumRoot();
    const std::string classRoot = ctx_.ClassRoot();
    DriverRecord& r = p.r;

    // 1-2.
    r.DeviceInstanceId = root + bus + "\\" + device + "\\" + instance;
    r.DeviceID = bus + "\\" + device + "\\" + instance;
    r.IsBadUSBEnumeration = badUsb;
    const std::string upperBus = text::UpperAscii(bus);
    if (upperBus == "SW" || upperBus == "HTREE") return;
    // As the path would open them, stepped to from the keys above, which serve many.
    p.keys.instance = ctx_.reg.OpenSubKeyForReading(deviceKey_, hkey::kLocalMachine, devicePath_, instance);
    const platform::RegistryView::KeyRef& instanceKey = p.keys.instance;
    if (IsLegacyDriver(r.DeviceInstanceId, instanceKey)) return;
    // 3.
    if (!busAnnounced) {
        p.announce = "Scanning " + bus + " bus..." + std::to_string(busDevices) + " devices found";
        busAnnounced = true;
    }
    const std::string& key = r.DeviceInstanceId;
    // 4-5.
    r.IsDeviceConnected = IsConnected(bus, key, instanceKey);
    r.ClassGUID = Text(instanceKey, "ClassGUID");
    p.guid = text::UpperAscii(r.ClassGUID);
    const std::string& guid = p.guid;
    // 6.
    std::string classKey;
    p.driverValue = Text(instanceKey, "Driver");
    const std::string& driverValue = p.driverValue;
    if (!driverValue.empty()) {
        r.RegDriverInstance = classRoot + driverValue;
        const size_t slash = r.RegDriverInstance.rfind('\\');
        classKey = r.RegDriverInstance.substr(0, slash);
        p.keys.driver = ctx_.reg.OpenSubKeyForReading(classRootKey_, hkey::kLocalMachine, classRoot, driverValue);
        if (ctx_.reg.HasValueNames(p.keys.driver))
            r.IsDriverInstalled = guid != kUnknownClassGuid;
        else r.AddMessage += "Warning: Driver mapping key invalid.";
    } else {
        classKey = classRoot + r.ClassGUID;
    }
    // 7-10.
    const platform::RegistryView::KeyRef& driverKey = p.keys.driver;
    r.Manufacturer = Text(instanceKey, "Mfg");
    if (vista) r.Manufacturer = AfterSemicolon(r.Manufacturer);
    r.Manufacturer = UnknownIfEmpty(r.Manufacturer);
    if (r.IsDriverInstalled) r.ProviderName = Text(driverKey, "ProviderName");
    if (!r.Manufacturer.empty()) r.MSProvided = IsStandardProvider(r.Manufacturer);
    if (!r.MSProvided && !r.ProviderName.empty()) r.MSProvided = IsStandardProvider(r.ProviderName);
    r.Manufacturer = UnknownIfEmpty(r.Manufacturer);
    r.ProviderName = UnknownIfEmpty(r.ProviderName);
    // 11-12.
    r.DeviceDesc = Text(instanceKey, "DeviceDesc");
    if (vista) r.DeviceDesc = AfterSemicolon(r.DeviceDesc);
    if (r.ClassGUID.empty() && r.DeviceDesc.empty() && r.Manufacturer == "UNKNOWN" && r.ProviderName == "UNKNOWN") return;
    if (guid == kPrinterClassGuid) return;
    // 13.
    r.HardwareID.clear();
    r.CompatibleIDs.clear();
    // A stale comparison file goes; nothing in a scan writes one, so after the first removal
    // there is none to remove and no device pays a system call for it.
    if (!compareFileRemoved_ && !options_.tempFolder.empty()) {
        std::error_code ec;
        std::filesystem::remove(options_.tempFolder / "compare.vlx", ec);
        compareFileRemoved_ = true;
    }
    // 14-16.
    if (r.IsDriverInstalled) r.DriverDesc = Text(driverKey, "DriverDesc");
    if (r.DriverDesc.empty() && r.DeviceDesc.empty() && guid == kUnknownClassGuid) r.DeviceDesc = "Unknown device";
    r.Bus = bus;
    // 17.
    if (!r.ClassGUID.empty() || nineX) {
        r.Type = Text(classKey, "");
        if (vista) r.Type = ClassDisplayName(r.ClassGUID, r.Type);
        if (!nineX) {
            r.Class = Text(classKey, "Class");
        } else {
            r.Class = classKey.substr(classKey.rfind('\\') + 1);
            if (r.ClassGUID.empty()) r.ClassGUID = r.Class;
        }
    }
    // 18-20.
    const std::string display = r.DriverDesc.empty() ? r.DeviceDesc : r.DriverDesc;
    if (r.Type.empty() &&
        (text::UpperAscii(r.DeviceDesc) == "UNKNOWN DEVICE" || (r.DriverDesc.empty() && r.ClassGUID.empty())))
        r.Type = "Other devices";
    r.XMLName = text::ReplaceAll(RemoveChars(display, " "), "\\", "/");
    // What the file steps would read from the driver key, read here.
    {
        const LogCapture keyLog(p.logKey);
        GuardedRun(kModule, "p_GetInfInstallFiles",
                   [&] { p.keyValues = inf::ReadDriverKeyValues(ctx_, driverKey); });
        GuardedRun(kModule, "p_GetDriverVersion", [&] { p.keyDates = ReadDriverKeyDates(ctx_, driverKey); });
    }
    {
        const LogCapture laterLog(p.logC);
        p.laterStepsRead =
            GuardedRun(kModule, "mP_InitializeDrivers", [&] { ReadLaterRegistrySteps(p); });
    }
    p.kept = true;
}

void DeviceScan::Pending::Run() {
    if (scan_.stopping_.load(std::memory_order_relaxed)) return;
    if (!GuardedRun(kModule, "mP_InitializeDrivers", [&] { FileSteps(); })) fileStepsFailed = true;
}

void DeviceScan::Pending::FileSteps() {
    ++scan_.fileStepsRun_;
    ScanContext& ctx = scan_.ctx_;
    // 21.
    if (scan_.locator_->p_GetInfInstallFiles(r, keyValues)) {
        p_GetDriverVersion(ctx, r, keyDates, versions);
        // The versions are left to the scan's thread only while this thread is behind it:
        // the two share the work as their loads go.
        const size_t behind = scan_.stage_ ? scan_.stage_->Backlog() : 0;
        const size_t ahead = scan_.fileStepsRun_ - scan_.handedOverFinished_.load(std::memory_order_relaxed);
        if (!scan_.stage_ || behind < kReadVersionsHereBelow || ahead > behind) {
            FinishDriverVersion(ctx.fileVersions, &scan_.fileThreadVersionFolders_, r, keyDates, versions);
            versions = {};
        }
    } else if (guid == kUnknownClassGuid || r.IsBadUSBEnumeration || !r.IsDriverInstalled) {
        r.DriverAddendum = "This device is not functioning.";
    } else {
        r.DriverAddendum = "WARNING: This driver cannot be saved. The INF file can not be located: " + r.InfFile;
    }
    // 22-23.
    const std::filesystem::path* infHost = nullptr;
    if (!r.InfFile.empty() && ctx.image) infHost = ctx.image->ResolveRef(r.InfFile);
    if (infHost) {
        auto [known, first] = scan_.signatures_.try_emplace(infHost);
        if (first) known->second = text::Cp1252ToUtf8(ctx.profiles.GetInfString("Version", "Signature", "0", *infHost, 256));
        const std::string& sig = known->second;
        if (sig.size() > 1) r.InfSig = sig;
        r.XMLInstallIdx = text::ReplaceAll(r.InfFile, "\\", "/") + text::ReplaceAll(r.InfSection, "\\", "/") +
                          text::ReplaceAll(r.InfSectionExt, "\\", "/");
    }
}

void DeviceScan::ReadLaterRegistrySteps(Pending& p) {
    DriverRecord& r = p.r;
    const platform::RegistryView::KeyRef& key = p.keys.instance;
    // 24.
    if (r.IsDriverInstalled) r.MatchingDeviceId = Text(p.keys.driver, "MatchingDeviceId");
    // 25-26.
    RegReadInfo ri;
    RegData ids = ctx_.reg.cP_GetRegValue(key, hkey::kLocalMachine, "HardwareID", ri);
    std::string idText = ids.kind == RegData::Kind::kText ? ids.text : std::string();
    while (!idText.empty() && idText.back() == '\0') idText.pop_back();
    if (!ri.bNoData && !ri.bValNoExist && !idText.empty()) {
        r.HardwareID = text::Split(idText, std::string_view("\0", 1));
        // The IDs run together: the NULs between them (blanks at first, then dropped),
        // backslashes, blanks, colons, underscores and quotes go.
        r.XMLIdx = RemoveChars(idText, std::string_view("\0\\ :_'", 6));
        if (text::UpperAscii(r.HardwareID.front()) == "USB\\UNKNOWN") p.toBeAdded = false;
    } else {
        r.NoHWID = true;  // its key needs the file steps' XMLInstallIdx: FinishInstance
    }
    // 27.
    r.Driver = p.driverValue;
    ids = ctx_.reg.cP_GetRegValue(key, hkey::kLocalMachine, "CompatibleIDs", ri);
    if (!ri.bNoData && ids.kind == RegData::Kind::kText) {
        std::string compat = ids.text;
        while (!compat.empty() && compat.back() == '\0') compat.pop_back();
        if (!compat.empty()) r.CompatibleIDs = text::Split(compat, std::string_view("\0", 1));
    }
    r.FriendlyName = Text(key, "FriendlyName");
    if (r.Type.empty() && !r.Class.empty()) r.Type = r.Class;
    // XMLUserFriendlyData is read by AddRecord, once it knows the record is new.
}

void DeviceScan::FinishInstance(Pending& p) {
    if (!p.announce.empty()) mP_AddRecordStats(p.announce);
    LogCapture::Replay(p.logA);
    if (!p.kept) return;
    LogCapture::Replay(p.logKey);
    LogCapture::Replay(p.Log());
    if (p.fileStepsFailed) return;
    // The file versions the file thread left to this thread.
    FinishDriverVersion(ctx_.fileVersions, &versionFolders_, p.r, p.keyDates, p.versions);
    LogCapture::Replay(p.logC);
    if (!p.laterStepsRead) return;
    DriverRecord& r = p.r;
    if (r.NoHWID) r.XMLIdx = r.DriverDesc + r.DeviceID + r.XMLInstallIdx;
    // 28-29.
    GuardedRun(kModule, "mP_InitializeDrivers", [&] { AddRecord(r, p.toBeAdded, &p.keys); });
}

void DeviceScan::AddRecord(DriverRecord& r, bool toBeAdded, const DeviceKeys* userFriendlyDataKeys) {
    // A present instance replaces a record of the same key that was absent.
    // Its row and its count go with it, so the list and the counters do not show the
    // device twice.
    if (auto existing = document_.FindFields(r.XMLIdx, {"IsDeviceConnected", "ClassGUID"})) {
        if (!existing->IsDeviceConnected && r.IsDeviceConnected && document_.Remove(r.XMLIdx)) {
            if (rows_.RemoveByTag(r.XMLIdx)) {
                observer_.OnRowRemoved(r.XMLIdx);
                if (text::UpperAscii(existing->ClassGUID) != kUnknownClassGuid) --result_.devicesFound;
                else --result_.unidentified;
            }
        }
    }
    if (document_.Contains(r.XMLIdx)) {
        document_.RaiseInstanceCount(r.XMLIdx);
        return;
    }
    r.NumDeviceInstances = 1;
    observer_.LetEventsRun();
    if (!toBeAdded) return;
    // Two dozen registry values that only a written record keeps: another instance of a
    // device already in the document does not read them.
    if (userFriendlyDataKeys) r.XMLUserFriendlyData = p_GetUserFriendlyData(ctx_, r, *userFriendlyDataKeys);

    std::string listName = r.DeviceDesc.empty() ? r.DriverDesc : r.DeviceDesc;
    if (!r.FriendlyName.empty()) listName = r.FriendlyName;
    r.UnknownDevice = text::UpperAscii(r.ClassGUID) == kUnknownClassGuid || text::UpperAscii(listName) == "UNKNOWN DEVICE";
    if (auto otherKey = rows_.mP_IsRecordExist(listName)) {
        if (auto other = document_.FindFields(*otherKey, {"InfSection", "InfSectionExt"}))
            r.UseINFSectionInBackupFolderName = other->InfSection + other->InfSectionExt != r.InfSection + r.InfSectionExt;
    }
    mP_GetIconDataSetParentNode(ctx_, r, icons_, "");
    if (text::UpperAscii(r.ClassGUID) != kUnknownClassGuid) {
        ++result_.devicesFound;
        observer_.OnSummary(SummaryText::kDevicesFound, "Devices found: " + std::to_string(result_.devicesFound));
    } else {
        ++result_.unidentified;
        observer_.OnSummary(SummaryText::kUnidentified, "Unidentified devices: " + std::to_string(result_.unidentified));
    }
    mP_AddRecordStats("Found " + listName + ".");
    if (common_.Loaded() && !r.NoHWID) {
        for (const auto& id : r.HardwareID) {
            if (common_.Contains(id)) {
                r.IsCommonDevice = true;
                break;
            }
        }
    }
    observer_.OnRowAdded(rows_.mP_AddRecord(listName, r));
    document_.Write(r);
}

}  // namespace vornel
