// The form's traffic columns, right of its buttons: for each line the bytes
// its clients sent ("To device") and were sent ("To client") since the server
// started, and the address of its present client ("Client", empty when it has
// none). The fields show a compact count; the exact one is their tooltip.
//
// Filled from one ServerStats snapshot that the view takes under engineLock
// and hands over once the lock is released, so nothing here touches the line
// table.
//
// Threads: the window thread.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "engine/stats.h"
#include "ui/dialog_units.h"

class QLineEdit;
class QWidget;

namespace qmx::ui {

// "512 B", "1.2 kB", "35 kB", "4.0 GB": at most three figures, in powers of
// 1000, so that every count fits a narrow field.
QString ByteCountText(uint64_t bytes);
// "1,234,567 bytes": the exact count.
QString ByteCountTip(uint64_t bytes);

class TrafficFields {
 public:
  // Makes the column labels and the three fields of each of `lineCount`
  // lines on `form`, in the lines' rows (FormRow). The fields are read-only
  // and no tab stops.
  TrafficFields(QWidget* form, const DialogUnits& units, int lineCount);

  // Shows `stats`. Only fields whose text or tooltip changed are touched, so
  // a selection in an unchanged field survives the refresh.
  void Show(const ServerStats& stats);

 private:
  struct Row {
    QLineEdit* toDevice = nullptr;
    QLineEdit* toClient = nullptr;
    QLineEdit* client = nullptr;
  };
  std::vector<Row> rows_;  // by line
};

}  // namespace qmx::ui
