// Manager: the administration object's connection to the running engine.
// It fetches and replaces the "mailpull" block, starts account tests and
// fetches their verdicts, and shows worker states and log files raw or as
// ready-made HTML fragments; a few desktop functions complete it.
#pragma once

#include "admin/ConfigCollection.h"
#include "admin/Interfaces.h"
#include "control/ControlClient.h"

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// One row of the worker table: thread id, account label, state.
struct WorkerRow {
  std::string thread;
  std::string account;
  std::string state;
};

// The lines of a reply: each ended by LF (text after the last LF is not
// used), trimmed of " \r\n\t", empty ones skipped.
std::vector<std::string> ReplyLines(std::string_view reply);
// The worker rows of a StatusList reply: lines with three or more fields.
std::vector<WorkerRow> WorkerRows(std::string_view reply);
// "<tr><td>thread</td><td>account</td><td>state</td></tr>" per row.
std::string WorkerRowsHtml(std::string_view reply);
// "<ul>" + one link per log file, newest (last listed) first, + "</ul>".
std::string LogListHtml(std::string_view reply);
// The file name part of a log path.
std::string LogFileName(std::string_view path);

class Manager final : public AutomationObject<IManager> {
 public:
  static RefPtr<Manager> Create();
  ~Manager() override;

  HRESULT QueryInterface(const Guid& iid, void** out) override;
  HRESULT GetIDsOfNames(std::string_view name, int32_t& dispid) override;
  HRESULT Invoke(int32_t dispid, uint16_t kind, std::span<const Variant> args, Variant* result) override;

  HRESULT Connect(int32_t* out) override;
  HRESULT Close() override;
  HRESULT QuerySessionDesc(int32_t formatDesc, std::optional<std::string>* out) override;
  HRESULT OpenDoc(std::string_view docName) override;
  HRESULT get_Configs(IConfigCollection** out) override;
  HRESULT UpdateConfig() override;
  HRESULT RefreshConfig() override;
  HRESULT QueryLog(int32_t formatDesc, std::optional<std::string>* out) override;
  HRESULT OpenFolder(std::optional<std::string>* out) override;
  HRESULT OpenFile(const std::optional<std::string>& filter, std::optional<std::string>* out) override;
  HRESULT ExistFile(const std::optional<std::string>& fileOrFolder, VARIANT_BOOL* out) override;
  HRESULT Test(IConfigItem* item, int32_t* out) override;
  HRESULT QueryTestResult(std::string_view name, std::optional<std::string>* out) override;
  HRESULT Uninstall() override;

  // For front ends written in C++, beyond the automation members:

  // The system's error number of the last failed Connect (2: no socket,
  // 10061: nobody listening, 5: no permission), 0 after a good one.
  int LastConnectError() const { return lastConnectError_; }
  // The system's error number of the last exchange with the engine, 0 when
  // it completed.
  int LastExchangeError() const { return lastExchangeError_; }
  // The cached collection (fetched when none is cached); null on failure.
  RefPtr<ConfigCollection> Configs();
  // Queues one run of the account now (RunNow). The block is sent without
  // "DownloadInterval", so the engine runs it once and does not keep it
  // circulating beside the account's own block. 0 or the system's error.
  int RunNow(IConfigItem& item);

 private:
  Manager() = default;
  int Exchange(int32_t type, std::string_view data, std::string& reply);

  ControlClient client_;
  RefPtr<ConfigCollection> configs_;
  int lastConnectError_ = 0;
  int lastExchangeError_ = 0;
};

// The text sent by Test: the "config_name" head and the account block.
std::string TestRequestText(IConfigItem& item);

}  // namespace tarnwick
