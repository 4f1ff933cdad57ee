// Where the fleet program reports what happens: JSON Lines for scripts, one
// plain line per event for logs, or a redrawn view on a terminal. Events may
// come from any worker; Events serialises them (one mutex) and thins the
// progress of each module to what a reader can use.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Doctor.h"
#include "FleetModel.h"

// Stages of one module's update as the progress events name them.
enum class FleetStage { Download, Loader, Firmware, Reboot, Verify };
const char* StageName(FleetStage stage);

// One way of showing the events. Called with the Events lock held.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void Module(const FleetModule& module) = 0;
    virtual void Plan(const PlanEntry& entry) = 0;
    virtual void Start(const PlanEntry& entry, int attempt) = 0;
    virtual void Progress(const FleetModule& module, FleetStage stage, uint64_t done, uint64_t total) = 0;
    virtual void Retry(const FleetModule& module, int attempt, const std::string& reason) = 0;
    virtual void Finished(const ModuleResult& result) = 0;
    virtual void Done(const Summary& summary, const std::vector<ModuleResult>& results) = 0;
    virtual void Doctor(const DoctorCheck& check) = 0;
    // Text for people: a note (error false) or an error.
    virtual void Say(bool error, const std::string& text) = 0;
};

enum class OutputMode { Json, Plain, Terminal };

// The sink for `mode`, writing to `out` (events) and `err` (text for people
// under Json). `started` is the run's start: event times count from it.
std::unique_ptr<EventSink> MakeSink(OutputMode mode, FILE* out, FILE* err,
                                    std::chrono::steady_clock::time_point started);

// The thread-safe front of a sink. Progress of a module is passed on when
// its stage changes or its whole percent grows: at most 101 events a stage.
class Events {
public:
    explicit Events(std::unique_ptr<EventSink> sink) : sink(std::move(sink)) {}

    void Module(const FleetModule& module);
    void Plan(const PlanEntry& entry);
    void Start(const PlanEntry& entry, int attempt);
    void Progress(const FleetModule& module, FleetStage stage, uint64_t done, uint64_t total);
    void Retry(const FleetModule& module, int attempt, const std::string& reason);
    void Finished(const ModuleResult& result);
    void Done(const Summary& summary, const std::vector<ModuleResult>& results);
    void Doctor(const DoctorCheck& check);
    void Say(bool error, const std::string& text);

private:
    struct LastProgress {
        FleetStage stage = FleetStage::Download;
        int percent = -1;
        std::chrono::steady_clock::time_point when{};
    };
    std::mutex lock;
    std::unique_ptr<EventSink> sink;
    std::map<unsigned, LastProgress> last;
};

// Text tables for people, shared by the sinks.
std::string ModuleTableHeader();
std::string ModuleTableRow(const FleetModule& module);
std::string PlanTableHeader();
std::string PlanTableRow(const PlanEntry& entry);
std::string ResultTable(const std::vector<ModuleResult>& results);

// The JSON objects (without the common keys) that events and results.json share.
std::string ResultJson(const ModuleResult& result);
std::string SummaryJson(const Summary& summary);
