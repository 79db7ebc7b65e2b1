// EvAlertEx: an alert of the alert library, raised by filling its fields and calling sendAlert.
//
// The object is reused: sendAlert records a snapshot of the fields as they are at that moment
// (later changes do not reach an alert already raised), and the fields stay set for the next
// alert. Alerts are recorded in the Hubnode database, one transaction per alert, with every
// value bound: a row of EvAlert (id, category, type, flags, release text, Hubnode upgrade
// time, the client ids in order as a comma-separated text, the time raised and the process id)
// and one row of EvAlertText per text of the update list (alert id, sequence from 0, the text
// as given; "MsgNewLine_" tokens are kept for whoever renders the alert). Delivering alerts to
// people is not this library's business.
#ifndef KQ_PLATFORM_ALERTS_EVALERTEX_H_
#define KQ_PLATFORM_ALERTS_EVALERTEX_H_

#pragma GCC visibility push(default)

#include <ctime>
#include <string>
#include <vector>

class EvAlertEx {
 public:
  EvAlertEx() = default;

  void setTessaraRelease(const std::string& release) { m_release = release; }
  void setHNupgradeTime(time_t t) { m_upgradeTime = t; }
  void setClientIdsList(const std::vector<int>& ids) { m_clientIds = ids; }
  void setUpdatesList(const std::vector<std::string>& texts) { m_texts = texts; }

  // Records the alert; 0 when it is stored, non-zero (and a log line) when it is not.
  int sendAlert(int category, int type, int flags);

  const std::string& release() const { return m_release; }
  time_t upgradeTime() const { return m_upgradeTime; }
  const std::vector<int>& clientIds() const { return m_clientIds; }
  const std::vector<std::string>& updates() const { return m_texts; }

 private:
  std::string m_release;
  time_t m_upgradeTime = 0;
  std::vector<int> m_clientIds;
  std::vector<std::string> m_texts;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_ALERTS_EVALERTEX_H_
