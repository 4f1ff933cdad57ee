#include "Events.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>

#include "Json.h"
#include "PrintableText.h"

using Clock = std::chrono::steady_clock;

namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string BuildText(unsigned build) { return build ? std::to_string(build) : "-"; }

// Where a module is, as one word-like text for people.
std::string WhereText(const FleetModule& m) {
    return m.address.empty() ? TransportName(m.transport) : std::string(TransportName(m.transport)) + " " + m.address;
}

JsonObject ModuleJson(const FleetModule& m) {
    JsonObject o;
    o.TextOrNull("serial", m.serial_text(), m.has_serial())
        .Text("model", m.model())
        .Text("transport", TransportName(m.transport))
        .Text("address", m.address)
        .TextOrNull("router", Format("%08X", m.router_serial), m.transport == Transport::I2c)
        .IntOrNull("i2c_address", m.i2c_address, m.transport == Transport::I2c)
        .Text("version", m.version_text())
        .Int("build", m.info.build)
        .Text("name", m.info.device_name)
        .Text("state", m.state)
        .TextOrNull("fingerprint", m.fingerprint_text(), !m.fingerprint_text().empty());
    return o;
}

JsonObject PlanJson(const PlanEntry& p) {
    JsonObject o;
    const char* source = p.source_text();
    o.TextOrNull("serial", p.module.serial_text(), p.module.has_serial())
        .Text("model", p.module.model())
        .Text("transport", TransportName(p.module.transport))
        .Int("from_build", p.from_build)
        .Int("to_build", p.to_build)
        .TextOrNull("source", source ? source : "", source != nullptr)
        .TextOrNull("file", p.file, !p.file.empty())
        .IntOrNull("size", p.size, p.size >= 0)
        .Text("action", p.action_text())
        .TextOrNull("reason", p.reason, !p.reason.empty());
    return o;
}

// JSON Lines on `out`; text for people on `err`.
class JsonSink : public EventSink {
public:
    JsonSink(FILE* out_, FILE* err_, Clock::time_point started_) : out(out_), err(err_), started(started_) {}

    void Module(const FleetModule& m) override { Emit("module", ModuleJson(m)); }
    void Plan(const PlanEntry& p) override { Emit("plan", PlanJson(p)); }
    void Start(const PlanEntry& p, int attempt) override {
        JsonObject o;
        o.TextOrNull("serial", p.module.serial_text(), p.module.has_serial())
            .Text("model", p.module.model())
            .Text("transport", TransportName(p.module.transport))
            .Int("from_build", p.from_build)
            .Int("to_build", p.to_build)
            .Int("attempt", attempt);
        Emit("start", o);
    }
    void Progress(const FleetModule& m, FleetStage stage, uint64_t done, uint64_t total) override {
        JsonObject o;
        o.TextOrNull("serial", m.serial_text(), m.has_serial()).Text("stage", StageName(stage)).Int("done", int64_t(done)).Int("total", int64_t(total));
        Emit("progress", o);
    }
    void Retry(const FleetModule& m, int attempt, const std::string& reason) override {
        JsonObject o;
        o.TextOrNull("serial", m.serial_text(), m.has_serial()).Int("attempt", attempt).Text("reason", reason);
        Emit("retry", o);
    }
    void Finished(const ModuleResult& r) override { EmitRaw("result", ResultJson(r)); }
    void Done(const Summary& s, const std::vector<ModuleResult>& results) override {
        if (!results.empty()) std::fputs(ResultTable(results).c_str(), err);
        EmitRaw("summary", SummaryJson(s));
    }
    void Doctor(const DoctorCheck& c) override {
        JsonObject o;
        o.Text("check", c.check).Bool("ok", c.ok).Text("detail", c.detail).TextOrNull("fix", c.fix, !c.fix.empty());
        Emit("doctor", o);
    }
    void Say(bool, const std::string& text) override {
        std::fprintf(err, "%s\n", text.c_str());
        std::fflush(err);
    }

private:
    void Emit(const char* event, const JsonObject& fields) { EmitRaw(event, fields.str()); }
    // `fields` is an object; its members follow the common keys.
    void EmitRaw(const char* event, const std::string& fields) {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        JsonObject head;
        head.Int("schema", 1).Text("event", event).Number("time", seconds);
        std::string line = head.str();
        if (fields.size() > 2) line = line.substr(0, line.size() - 1) + "," + fields.substr(1);
        std::fprintf(out, "%s\n", line.c_str());
        std::fflush(out);
    }

    FILE* out;
    FILE* err;
    Clock::time_point started;
};

// Common text for the two sinks meant for people.
class TextSink : public EventSink {
public:
    explicit TextSink(FILE* out_) : out(out_) {}

    void Module(const FleetModule& m) override {
        if (!moduleHeader) Line(ModuleTableHeader());
        moduleHeader = true;
        Line(ModuleTableRow(m));
    }
    void Plan(const PlanEntry& p) override {
        if (!planHeader) Line(PlanTableHeader());
        planHeader = true;
        Line(PlanTableRow(p));
    }
    void Doctor(const DoctorCheck& c) override {
        Line(Format("%-4s %-16s %s", c.ok ? "ok" : "FAIL", c.check.c_str(), c.detail.c_str()));
        if (!c.fix.empty()) Line("     fix: " + c.fix);
    }
    void Done(const Summary& s, const std::vector<ModuleResult>& results) override {
        if (!results.empty()) Line(ResultTable(results));
        Line(Format("%d updated, %d up-to-date, %d failed, %d skipped%s", s.updated, s.up_to_date, s.failed,
                    s.skipped, s.interrupted ? " (interrupted)" : ""));
        if (!s.run_directory.empty()) Line("Run record: " + s.run_directory);
    }
    void Say(bool error, const std::string& text) override {
        FILE* to = error ? stderr : out;
        BeforeText();
        std::fprintf(to, "%s\n", text.c_str());
        std::fflush(to);
        AfterText();
    }

protected:
    // Around lines printed into a view that is redrawn.
    virtual void BeforeText() {}
    virtual void AfterText() {}
    void Line(const std::string& text) {
        BeforeText();
        std::fputs(text.c_str(), out);
        if (text.empty() || text.back() != '\n') std::fputc('\n', out);
        std::fflush(out);
        AfterText();
    }
    FILE* out;

private:
    bool moduleHeader = false;
    bool planHeader = false;
};

// One line per event, for logs and pipes.
class PlainSink : public TextSink {
public:
    using TextSink::TextSink;
    void Start(const PlanEntry& p, int attempt) override {
        Line(Format("%s start: %s -> %s (attempt %d)", p.module.serial_text().c_str(), BuildText(p.from_build).c_str(),
                    BuildText(p.to_build).c_str(), attempt));
    }
    void Progress(const FleetModule& m, FleetStage stage, uint64_t done, uint64_t total) override {
        if (total > 0)
            Line(Format("%s %s: %" PRIu64 " of %" PRIu64 " bytes", m.serial_text().c_str(), StageName(stage), done,
                        total));
        else
            Line(Format("%s %s", m.serial_text().c_str(), StageName(stage)));
    }
    void Retry(const FleetModule& m, int attempt, const std::string& reason) override {
        Line(Format("%s retry (attempt %d): %s", m.serial_text().c_str(), attempt, reason.c_str()));
    }
    void Finished(const ModuleResult& r) override {
        Line(Format("%s %s%s%s", r.plan.module.serial_text().c_str(), r.status_text(), r.message.empty() ? "" : ": ",
                    r.message.c_str()));
    }
};

// A line per module, redrawn in place below whatever else is printed.
class TerminalSink : public TextSink {
public:
    TerminalSink(FILE* out_, Clock::time_point) : TextSink(out_) {}

    void Start(const PlanEntry& p, int attempt) override {
        Row& row = RowOf(p.module);
        row.stage = attempt > 1 ? Format("starting (attempt %d)", attempt) : "starting";
        row.detail.clear();
        Redraw();
    }
    void Progress(const FleetModule& m, FleetStage stage, uint64_t done, uint64_t total) override {
        Row& row = RowOf(m);
        const auto now = Clock::now();
        if (row.stage != StageName(stage)) {
            row.stage = StageName(stage);
            row.stageStart = now;
        }
        row.detail.clear();
        if (total > 0) {
            const double seconds = std::chrono::duration<double>(now - row.stageStart).count();
            const double rate = seconds > 0.05 ? double(done) / seconds : 0;
            row.detail = Format("%3d%%  %.1f kB/s", int(done * 100 / total), rate / 1000.0);
        }
        Redraw();
    }
    void Retry(const FleetModule& m, int attempt, const std::string& reason) override {
        RowOf(m).detail = Format("retry %d: %s", attempt, reason.c_str());
        Redraw();
    }
    void Finished(const ModuleResult& r) override {
        Row& row = RowOf(r.plan.module);
        row.stage = r.status_text();
        row.detail = r.message;
        Redraw();
    }
    void Done(const Summary& s, const std::vector<ModuleResult>& results) override {
        Clear();
        rows.clear();
        TextSink::Done(s, results);
    }

protected:
    void BeforeText() override { Clear(); }
    void AfterText() override { Draw(); }

private:
    struct Row {
        std::string label;
        std::string stage;
        std::string detail;
        Clock::time_point stageStart = Clock::now();
    };
    Row& RowOf(const FleetModule& m) {
        for (auto& [serial, row] : rows)
            if (serial == m.serial) return row;
        rows.emplace_back(m.serial, Row{});
        rows.back().second.label = m.serial_text() + "  " + Format("%-10s", m.model().c_str());
        return rows.back().second;
    }
    void Clear() {
        if (drawn > 0) std::fprintf(out, "\x1b[%dA\r\x1b[J", drawn);
        drawn = 0;
    }
    void Draw() {
        for (const auto& entry : rows) {
            const Row& row = entry.second;
            std::string line = row.label + "  " + Format("%-10s", row.stage.c_str()) + "  " + row.detail;
            if (line.size() > 120) line.resize(120);
            std::fprintf(out, "%s\n", line.c_str());
        }
        drawn = int(rows.size());
        std::fflush(out);
    }
    void Redraw() {
        Clear();
        Draw();
    }
    std::vector<std::pair<unsigned, Row>> rows;
    int drawn = 0;
};

} // namespace

const char* StageName(FleetStage stage) {
    switch (stage) {
    case FleetStage::Download: return "download";
    case FleetStage::Loader: return "loader";
    case FleetStage::Firmware: return "firmware";
    case FleetStage::Reboot: return "reboot";
    case FleetStage::Verify: return "verify";
    }
    return "?";
}

std::unique_ptr<EventSink> MakeSink(OutputMode mode, FILE* out, FILE* err, Clock::time_point started) {
    switch (mode) {
    case OutputMode::Json: return std::make_unique<JsonSink>(out, err, started);
    case OutputMode::Plain: return std::make_unique<PlainSink>(out);
    case OutputMode::Terminal: return std::make_unique<TerminalSink>(out, started);
    }
    return nullptr;
}

std::string ModuleTableHeader() {
    return Format("%-8s  %-10s  %-9s  %-22s  %-8s  %10s  %-16s  %s", "SERIAL", "MODEL", "TRANSPORT", "ADDRESS",
                  "FIRMWARE", "BUILD", "NAME", "STATE");
}

std::string ModuleTableRow(const FleetModule& m) {
    return Format("%-8s  %-10s  %-9s  %-22s  %-8s  %10u  %-16s  %s", m.serial_text().c_str(), m.model().c_str(),
                  TransportName(m.transport), m.address.c_str(), m.version_text().c_str(), m.info.build,
                  m.info.device_name.c_str(), m.state.c_str());
}

std::string PlanTableHeader() {
    return Format("%-8s  %-10s  %-22s  %10s  %10s  %-6s  %10s  %s", "SERIAL", "MODEL", "WHERE", "CURRENT", "TARGET",
                  "FROM", "SIZE", "ACTION");
}

std::string PlanTableRow(const PlanEntry& p) {
    const char* source = p.source_text();
    std::string action = p.action_text();
    if (!p.reason.empty()) action += ": " + p.reason;
    return Format("%-8s  %-10s  %-22s  %10s  %10s  %-6s  %10s  %s", p.module.serial_text().c_str(),
                  p.module.model().c_str(), WhereText(p.module).c_str(), BuildText(p.from_build).c_str(),
                  BuildText(p.to_build).c_str(), source ? source : "-",
                  p.size >= 0 ? std::to_string(p.size).c_str() : "-", action.c_str());
}

std::string ResultTable(const std::vector<ModuleResult>& results) {
    std::string table = Format("%-8s  %-10s  %-23s  %-10s  %8s  %8s  %s\n", "SERIAL", "MODEL", "BUILD", "RESULT",
                               "TIME", "ATTEMPTS", "NOTE");
    for (const ModuleResult& r : results) {
        const std::string builds = BuildText(r.plan.from_build) + " -> " + BuildText(r.plan.to_build);
        std::string note = r.message;
        if (r.left_in_loader) note += note.empty() ? "left in its loader" : " (left in its loader)";
        table += Format("%-8s  %-10s  %-23s  %-10s  %7.1fs  %8d  %s\n", r.plan.module.serial_text().c_str(),
                        r.plan.module.model().c_str(), builds.c_str(), r.status_text(), r.seconds, r.attempts,
                        note.c_str());
    }
    return table;
}

std::string ResultJson(const ModuleResult& r) {
    JsonObject o;
    std::string error = "null";
    if (r.code != aErrNone || r.status == ModuleResult::Status::Failed) {
        JsonObject e;
        e.Int("code", r.code).Text("message", r.message);
        error = e.str();
    }
    o.TextOrNull("serial", r.plan.module.serial_text(), r.plan.module.has_serial())
        .Text("model", r.plan.module.model())
        .Text("transport", TransportName(r.plan.module.transport))
        .Int("from_build", r.plan.from_build)
        .Int("to_build", r.plan.to_build)
        .Text("status", r.status_text())
        .Raw("error", error)
        .TextOrNull("reason", r.message, r.status == ModuleResult::Status::Skipped && !r.message.empty())
        .Number("seconds", r.seconds)
        .Int("attempts", r.attempts)
        .Bool("left_in_loader", r.left_in_loader);
    return o.str();
}

std::string SummaryJson(const Summary& s) {
    JsonObject o;
    o.Int("updated", s.updated)
        .Int("up-to-date", s.up_to_date)
        .Int("failed", s.failed)
        .Int("skipped", s.skipped)
        .Int("exit", s.exit_status)
        .TextOrNull("run_directory", s.run_directory, !s.run_directory.empty())
        .Bool("interrupted", s.interrupted);
    return o.str();
}

void Events::Module(const FleetModule& m) {
    std::lock_guard<std::mutex> hold(lock);
    sink->Module(m);
}
void Events::Plan(const PlanEntry& p) {
    std::lock_guard<std::mutex> hold(lock);
    sink->Plan(p);
}
void Events::Start(const PlanEntry& p, int attempt) {
    std::lock_guard<std::mutex> hold(lock);
    last.erase(p.module.serial);
    sink->Start(p, attempt);
}
void Events::Progress(const FleetModule& m, FleetStage stage, uint64_t done, uint64_t total) {
    std::lock_guard<std::mutex> hold(lock);
    LastProgress& before = last[m.serial];
    const int percent = total > 0 ? int(std::min<uint64_t>(done, total) * 100 / total) : 0;
    const bool fresh = before.percent < 0 || before.stage != stage;
    if (!fresh && percent <= before.percent) return;
    before = {stage, percent, Clock::now()};
    sink->Progress(m, stage, done, total);
}
void Events::Retry(const FleetModule& m, int attempt, const std::string& reason) {
    std::lock_guard<std::mutex> hold(lock);
    sink->Retry(m, attempt, reason);
}
void Events::Finished(const ModuleResult& r) {
    std::lock_guard<std::mutex> hold(lock);
    sink->Finished(r);
}
void Events::Done(const Summary& s, const std::vector<ModuleResult>& results) {
    std::lock_guard<std::mutex> hold(lock);
    sink->Done(s, results);
}
void Events::Doctor(const DoctorCheck& c) {
    std::lock_guard<std::mutex> hold(lock);
    sink->Doctor(c);
}
void Events::Say(bool error, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock);
    sink->Say(error, text);
}
