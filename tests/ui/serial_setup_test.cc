// The serial setup dialog, opened from the "Serial setup" menu: what it
// loads from a port's settings, what OK stores, and the ways out that store
// nothing.
#include <QDialog>
#include <QPushButton>
#include <QTest>
#include <cstring>
#include <mutex>

#include "engine/line_table.h"
#include "ui/ui_harness.h"

namespace qmx::ui::test {
namespace {

class UiSerialSetup : public UiTest {
 protected:
  // Opens port com(index+1)'s dialog from the menu and hands it to `use`.
  void RunDialog(int index, const std::function<void(QDialog*)>& use) {
    EXPECT_EQ(1, WithModals([&] { Trigger(ID_SETUP_COM1 + index); },
                            [&](QWidget* modal) { use(qobject_cast<QDialog*>(modal)); }));
  }
  ComSetting Setting(int index) {
    MutexLock lock(Table().engineLock);
    return Table().comSettings[index];
  }
};

QComboBox* Combo(QDialog* dialog, int id) { return Control<QComboBox>(dialog, id); }
QStringList Values(QDialog* dialog) {
  QStringList values{Control<QLineEdit>(dialog, IDC_PORT)->text()};
  for (int id : {IDC_BAUD, IDC_DATA, IDC_PARITY, IDC_STOP, IDC_FLOW})
    values << Combo(dialog, id)->currentText();
  return values;
}
void Pick(QDialog* dialog, int id, const QString& entry) {
  Combo(dialog, id)->setCurrentIndex(Combo(dialog, id)->findText(entry));
}
void ClickOk(QDialog* dialog) { Control<QPushButton>(dialog, IDC_COMSET_OK)->click(); }

TEST_F(UiSerialSetup, LoadsByFirstMatchingEntryAndStoresLetters) {
  SetupFile file;
  file.com[0] = "com1,9600,n,8,1,x";
  file.com[1] = "com2,1,even,8,1,h";  // a whole-word parity, a baud of "1"
  Start(&file);

  RunDialog(0, [](QDialog* dialog) {
    EXPECT_EQ(Values(dialog),
              QStringList({"com1", "9600", "8", "none", "1", "Xon/Xoff"}));
    EXPECT_EQ(Combo(dialog, IDC_BAUD)->currentIndex(), 6);
    EXPECT_EQ(Combo(dialog, IDC_FLOW)->itemText(0), "hardware");  // sorted, case ignored
    EXPECT_EQ(dialog->focusWidget(), Combo(dialog, IDC_BAUD));
    ClickOk(dialog);
  });
  ComSetting com1 = Setting(0);
  EXPECT_EQ(std::string(com1.definition) + com1.flow + com1.parity, "9600,n,8,1xn");

  RunDialog(1, [](QDialog* dialog) {
    EXPECT_EQ(Values(dialog), QStringList({"com2", "110", "8", "even", "1", "hardware"}));
    ClickOk(dialog);
  });
  EXPECT_EQ(std::string(Setting(1).definition), "110,e,8,1");

  RunDialog(1, [](QDialog* dialog) {
    Pick(dialog, IDC_BAUD, "19200");
    Pick(dialog, IDC_STOP, "2");
    Combo(dialog, IDC_PARITY)->lineEdit()->clear();
    QTest::keyClicks(Combo(dialog, IDC_PARITY)->lineEdit(), "Odd");  // not a listed word
    ClickOk(dialog);
  });
  ComSetting com2 = Setting(1);
  EXPECT_EQ(std::string(com2.definition), "19200,,8,2");
  EXPECT_EQ(std::string(com2.baud) + com2.parity + com2.stopBits, "192002");
}

TEST_F(UiSerialSetup, EmptyRecordAndOverlongTexts) {
  SetupFile file;
  file.com[2] = " ";  // com3's line holds no fields
  Start(&file);
  RunDialog(2, [](QDialog* dialog) {
    EXPECT_EQ(Values(dialog), QStringList({"com3", "", "", "", "", ""}));
    EXPECT_EQ(Combo(dialog, IDC_BAUD)->currentIndex(), -1);
    ClickOk(dialog);
  });
  EXPECT_EQ(std::string(Setting(2).definition), ",,,");

  // Typed texts longer than their fields are cut at the field's width.
  const std::string baud(40, '9');
  RunDialog(2, [&](QDialog* dialog) {
    QTest::keyClicks(Combo(dialog, IDC_BAUD)->lineEdit(), QString::fromStdString(baud));
    ClickOk(dialog);
  });
  ComSetting stored = Setting(2);
  EXPECT_EQ(std::string(stored.baud), baud.substr(0, 15));
  EXPECT_EQ(std::string(stored.definition), baud + ",,,");
}

TEST_F(UiSerialSetup, EnterInAComboCancelEscapeAndCloseStoreNothing) {
  SetupFile file;
  Start(&file);
  const ComSetting before = Setting(0);
  auto edit = [](QDialog* dialog) {
    Pick(dialog, IDC_BAUD, "300");
    Pick(dialog, IDC_PARITY, "odd");
  };
  const std::function<void(QDialog*)> leaves[] = {
      [](QDialog* dialog) {
        QTest::keyClick(Combo(dialog, IDC_BAUD)->lineEdit(), Qt::Key_Return);
        QTest::keyClick(Control<QLineEdit>(dialog, IDC_PORT), Qt::Key_Enter,
                        Qt::KeypadModifier);
        EXPECT_TRUE(dialog->isVisible());
        Control<QPushButton>(dialog, IDC_COMSET_CANCEL)->click();
      },
      [](QDialog* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); },
      [](QDialog* dialog) { dialog->close(); },
  };
  for (const auto& leave : leaves) {
    RunDialog(0, [&](QDialog* dialog) {
      edit(dialog);
      leave(dialog);
    });
    ComSetting now = Setting(0);
    EXPECT_EQ(std::memcmp(&now, &before, sizeof now), 0);
  }

  // With the focus on OK, Enter works OK.
  RunDialog(0, [&](QDialog* dialog) {
    edit(dialog);
    Control<QPushButton>(dialog, IDC_COMSET_OK)->setFocus();
    QTest::keyClick(Control<QPushButton>(dialog, IDC_COMSET_OK), Qt::Key_Return);
  });
  EXPECT_EQ(std::string(Setting(0).definition), "300,o,8,1");
}

}  // namespace
}  // namespace qmx::ui::test
