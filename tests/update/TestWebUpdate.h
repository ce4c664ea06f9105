#pragma once

#include "wuWebUpdate.h"

#include <QStringList>

// Opens the component's inner steps to the tests.
class TTestWebUpdate : public TwuWebUpdate {
public:
    using TwuWebUpdate::DownloadResult;
    using TwuWebUpdate::FetchURL;
    using TwuWebUpdate::GetInfo;
    using TwuWebUpdate::GetTagContent;
    using TwuWebUpdate::InfoLines;
    using TwuWebUpdate::IsNewerVersion;
    using TwuWebUpdate::ParseInfo;
    using TwuWebUpdate::TwuWebUpdate;
};

// Hooks every event and writes down its name, with the arguments that matter;
// a run of OnDownload reports is written once, as "Download".
class TEventLog {
public:
    explicit TEventLog(TwuWebUpdate& update) {
        update.OnBeforeGetInfo = [this](TwuWebUpdate*) {
            Add("BeforeGetInfo");
        };
        update.OnDownload = [this](TwuWebUpdate*, std::int32_t total, std::int32_t downloaded) {
            Totals << total;
            Counts << downloaded;
            if (Events.isEmpty() || Events.last() != QLatin1String("Download"))
                Add("Download");
        };
        update.OnDownloadError = [this](TwuWebUpdate*) {
            Add("DownloadError");
        };
        update.OnAfterGetInfo = [this](TwuWebUpdate*) {
            Add("AfterGetInfo");
        };
        update.OnNoUpdateFound = [this](TwuWebUpdate*) {
            Add("NoUpdateFound");
        };
        update.OnUpdateAvailable = [this](TwuWebUpdate*, const QString& actual,
                                          const QString& offered, bool&) {
            Add("UpdateAvailable " + actual + " " + offered);
        };
        update.OnBeforeShowInfo = [this](TwuWebUpdate*, bool&, bool&) {
            Add("BeforeShowInfo");
        };
        update.OnAfterShowInfo = [this](TwuWebUpdate*, bool check) {
            Add(check ? "AfterShowInfo checked" : "AfterShowInfo cleared");
        };
        update.OnGetClientFileName = [this](TwuWebUpdate*, QString&) {
            Add("GetClientFileName");
        };
        update.OnClientFileExists = [this](TwuWebUpdate*, QString&, bool&) {
            Add("ClientFileExists");
        };
        update.OnBeforeDownload = [this](TwuWebUpdate*, const QString&) {
            Add("BeforeDownload");
        };
        update.OnAfterDownload = [this](TwuWebUpdate*, const QString&) {
            Add("AfterDownload");
        };
        update.OnCannotExecute = [this](TwuWebUpdate*) {
            Add("CannotExecute");
        };
    }

    void Add(const QString& event) { Events << event; }

    QStringList Events;
    QList<std::int32_t> Totals;
    QList<std::int32_t> Counts;
};
