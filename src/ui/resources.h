// Resources of the operator window: control and command ids, the string
// table, the menu texts and the layout of each dialog template in dialog
// units. Every control's objectName is its numeric id, so code and tests find
// controls by id.
#pragma once

#include <initializer_list>

#include "platform/line_counts.h"

namespace qmx::ui {

// A rectangle in dialog units (converted to pixels with the dialog font's
// metrics, see dialog_units.h).
struct DluRect {
  int x;
  int y;
  int width;
  int height;
};

// Template ids.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_CORV_FORM = 101;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDD_COMSET = 130;
inline constexpr int IDD_CMDLOG = 131;
inline constexpr int IDD_ERRLOG = 135;

// Common button ids.
inline constexpr int IDOK = 1;

// Form view 101.
inline constexpr int IDC_TCP0 = 1006;
inline constexpr int IDC_COMMAND_LOG = 1007;
inline constexpr int IDC_SAVE_SETUP = 1024;
inline constexpr int IDC_CORV_OK = 1025;
inline constexpr int IDC_CORV_CANCEL = 1026;
inline constexpr int IDC_ERROR_LOG = 1037;
inline constexpr int IDC_MINIMIZE = 1039;

// Per line: TCP port combo, serial port combo (0 for the control line),
// status edit, group box label and top, the height of the combos in the
// template (the edit field plus the drop-down list), and the read-only
// traffic fields right of the buttons: bytes to the device, bytes to the
// client, the present client's address.
struct FormLine {
  int tcpId;
  int serialId;
  int statusId;
  const char* label;
  int top;
  int tcpListHeight;
  int serialListHeight;
  int toDeviceId;
  int toClientId;
  int clientId;
};

inline constexpr FormLine kFormLines[9] = {
    {1006, 0, 1032, "Control Line", 15, 50, 0, 1045, 1046, 1047},
    {1008, 1019, 1028, "Data Line 1", 45, 50, 70, 1048, 1049, 1050},
    {1009, 1020, 1029, "Data Line 2", 75, 50, 65, 1051, 1052, 1053},
    {1010, 1022, 1030, "Data Line 3", 105, 50, 65, 1054, 1055, 1056},
    {1018, 1027, 1031, "Data Line 4", 135, 45, 65, 1057, 1058, 1059},
    {1021, 1033, 1034, "Data Line 5", 165, 45, 65, 1060, 1061, 1062},
    {1023, 1035, 1036, "Data Line 6", 195, 45, 65, 1063, 1064, 1065},
    {1038, 1040, 1041, "Data Line 7", 225, 45, 65, 1066, 1067, 1068},
    {1042, 1043, 1044, "Data Line 8", 255, 45, 65, 1069, 1070, 1071},
};

// The one combo box that keeps the capitals the operator types.
inline constexpr int kMixedCaseCombo = 1019;

// The form of a server with eight data lines; each further data line adds a
// row below the eighth.
inline constexpr int kFormWidth = 387;
inline constexpr int kFormHeight = 291;
inline constexpr int kFormRowPitch = 30;

// Rows of data lines 9 and up have the layout of data lines 5 to 8, each
// one pitch below the one before, and ids from a range of their own: six per
// row, in FormLine's order (TCP, serial, status, to device, to client,
// client). Their group box label is "Data Line L".
inline constexpr int kMoreRowsFirstId = 1200;
inline constexpr int kIdsPerMoreRow = 6;

// Line `line`'s row (0 the control line, up to kMaxDataLines).
constexpr FormLine FormRow(int line) {
  if (line <= kDefaultDataLines) return kFormLines[line];
  const int id = kMoreRowsFirstId + kIdsPerMoreRow * (line - kDefaultDataLines - 1);
  FormLine row = kFormLines[kDefaultDataLines];
  row.tcpId = id;
  row.serialId = id + 1;
  row.statusId = id + 2;
  row.label = nullptr;
  row.top += kFormRowPitch * (line - kDefaultDataLines);
  row.toDeviceId = id + 3;
  row.toClientId = id + 4;
  row.clientId = id + 5;
  return row;
}

// The form's height, in dialog units, for a server with `dataLines` lines.
constexpr int FormHeight(int dataLines) {
  return kFormHeight + kFormRowPitch * (dataLines - kDefaultDataLines);
}

// Keyboard order of the form.
inline constexpr int kFormTabOrder[] = {1006, 1008, 1019, 1009, 1020, 1010, 1022, 1018,
                                        1027, 1021, 1033, 1023, 1035, 1038, 1040, 1042,
                                        1043, 1039, 1025, 1026, 1024, 1037, 1007};

// Serial setup dialog 130.
inline constexpr int IDC_PORT = 1000;
inline constexpr int IDC_FLOW = 1001;
inline constexpr int IDC_BAUD = 1016;
inline constexpr int IDC_DATA = 1017;
inline constexpr int IDC_PARITY = 1018;
inline constexpr int IDC_STOP = 1019;
inline constexpr int IDC_COMSET_OK = 1021;
inline constexpr int IDC_COMSET_CANCEL = 1022;

// Log windows 131 and 135.
inline constexpr int IDC_CMDLOG_EDIT = 1020;
inline constexpr int IDC_ERRLOG_EDIT = 1037;

// Menu commands.
inline constexpr int ID_SETUP_COM1 = 32772;  // to 32779 for com8
// com9 and up, on a server with more than eight data lines.
inline constexpr int kSetupMorePortsFirstId = 33024;
// The "Serial setup" command of port com(index+1).
constexpr int SetupComId(int index) {
  return index < kDefaultDataLines ? ID_SETUP_COM1 + index
                                   : kSetupMorePortsFirstId + index - kDefaultDataLines;
}
inline constexpr int ID_APP_ABOUT = 57664;
inline constexpr int ID_HELP_FINDER = 57667;
inline constexpr int ID_APP_EXIT = 57665;
inline constexpr int ID_FILE_NEW = 57600;

// String table.
inline constexpr const char* kAppTitle = "qmx";              // 57344
inline constexpr const char* kFrameTitle = "QMX";            // first part of 128
inline constexpr const char* kDocumentTitle = "QMX Server";  // the document's fixed title
inline constexpr const char* kFatalError = "Fatal error";    // 32790
inline constexpr const char* kVersionText = "QMX  Version 2.01";

// The ids of the rows and menu commands past the eighth data line are
// numbers no other id of this file (nor of the string table) uses, and each
// names one thing: a test may look any control up by id anywhere in the
// window.
namespace ids_check {
constexpr bool Contains(std::initializer_list<int> ids, int id) {
  for (int each : ids)
    if (each == id) return true;
  return false;
}
constexpr bool IsFixedId(int id) {
  for (const FormLine& row : kFormLines) {
    if (Contains({row.tcpId, row.serialId, row.statusId, row.toDeviceId, row.toClientId,
                  row.clientId},
                 id))
      return true;
  }
  const bool templates = Contains(
      {IDD_ABOUTBOX, IDD_CORV_FORM, IDR_MAINFRAME, IDD_COMSET, IDD_CMDLOG, IDD_ERRLOG},
      id);
  const bool form = Contains({IDOK, IDC_TCP0, IDC_COMMAND_LOG, IDC_SAVE_SETUP,
                              IDC_CORV_OK, IDC_CORV_CANCEL, IDC_ERROR_LOG, IDC_MINIMIZE},
                             id);
  const bool dialogs =
      Contains({IDC_PORT, IDC_FLOW, IDC_BAUD, IDC_DATA, IDC_PARITY, IDC_STOP,
                IDC_COMSET_OK, IDC_COMSET_CANCEL, IDC_CMDLOG_EDIT, IDC_ERRLOG_EDIT},
               id);
  const bool commands =
      Contains({ID_APP_ABOUT, ID_HELP_FINDER, ID_APP_EXIT, ID_FILE_NEW}, id) ||
      (id >= ID_SETUP_COM1 && id < ID_SETUP_COM1 + kDefaultDataLines);
  const bool strings = Contains({57344, 32790, 32780, 32781, 32784}, id);
  return templates || form || dialogs || commands || strings;
}
// Every id past the eighth line: rows, then menu commands. The rows' ids run
// upward without a gap, so they are distinct when their range and the menu
// range do not overlap.
constexpr bool MoreIdsAreFresh() {
  for (int line = kDefaultDataLines + 1; line <= kMaxDataLines; ++line) {
    const FormLine row = FormRow(line);
    for (int id : {row.tcpId, row.serialId, row.statusId, row.toDeviceId, row.toClientId,
                   row.clientId}) {
      if (IsFixedId(id)) return false;
    }
  }
  for (int index = kDefaultDataLines; index < kMaxPortCount; ++index)
    if (IsFixedId(SetupComId(index))) return false;
  const int lastRowId = FormRow(kMaxDataLines).clientId;
  const int lastMenuId = SetupComId(kMaxPortCount - 1);
  return lastRowId < kSetupMorePortsFirstId || lastMenuId < kMoreRowsFirstId;
}
}  // namespace ids_check
static_assert(ids_check::MoreIdsAreFresh(),
              "the rows and ports past the eighth need ids of their own");

// The dialogs' font, and the one used where it is not installed.
inline constexpr const char* kDialogFontFamily =
    "\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF";
inline constexpr int kDialogFontPoints = 9;

}  // namespace qmx::ui
