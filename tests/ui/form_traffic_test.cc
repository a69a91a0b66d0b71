// The form's traffic columns: how counts read, that each line's row follows
// the bytes its clients move and names the client there now, and that the
// columns sit beside the template without covering any of it.
#include <QSet>
#include <QStyle>
#include <QTest>
#include <cstdint>
#include <functional>
#include <string>

#include "ui/traffic_fields.h"
#include "ui/ui_harness.h"

namespace qmx::ui::test {
namespace {

class UiFormTraffic : public UiTest {
 protected:
  // A line's traffic fields as shown: to device, to client, client.
  QStringList Shown(int line) const {
    return {Shows(ToDeviceBox(line)), Shows(ToClientBox(line)), Shows(ClientBox(line))};
  }
  // The exact counts of a line, from the tooltips, and its client's address.
  QStringList Counts(int line) const {
    return {Tip(ToDeviceBox(line)), Tip(ToClientBox(line)), Shows(ClientBox(line))};
  }
  // What `read` gives once it gives `want` (the fields follow the counters on
  // the view's timer), or what it gives when the wait ends.
  static QStringList Eventually(const std::function<QStringList()>& read,
                                const QStringList& want) {
    if (QTest::qWaitFor([&] { return read() == want; }, 10000)) return want;
    return read();
  }
};

TEST(UiTrafficText, CountsReadInThreeFiguresAndTipsAreExact) {
  const std::pair<uint64_t, const char*> compact[] = {
      {0, "0 B"},
      {999, "999 B"},
      {1000, "1.0 kB"},
      {1234, "1.2 kB"},
      {9949, "9.9 kB"},
      {9951, "10 kB"},  // not "10.0 kB"
      {12345, "12 kB"},
      {999499, "999 kB"},
      {999500, "1.0 MB"},  // not "1000 kB"
      {4'000'000'000, "4.0 GB"},
      {UINT64_MAX, "18 EB"},
  };
  for (const auto& [bytes, text] : compact)
    EXPECT_EQ(ByteCountText(bytes), text) << bytes;
  EXPECT_EQ(ByteCountTip(1), "1 byte");
  EXPECT_EQ(ByteCountTip(999), "999 bytes");
  EXPECT_EQ(ByteCountTip(1000), "1,000 bytes");
  EXPECT_EQ(ByteCountTip(1234567), "1,234,567 bytes");
  EXPECT_EQ(ByteCountTip(UINT64_MAX), "18,446,744,073,709,551,615 bytes");
}

TEST_F(UiFormTraffic, RowsFollowTheBytesEachWayAndNameThePresentClient) {
  PtyDevice com1("com1");
  SetupFile file;
  const int control = file.Use(0);
  const int data = file.Use(1, "com1");
  Start(&file);
  // Shown from the start, before any client came.
  EXPECT_EQ(Shown(1), QStringList({"0 B", "0 B", ""}));

  TcpClient client(data);
  const std::string up(1500, 'u');
  ASSERT_TRUE(client.Send(up));
  ASSERT_EQ(com1.Read(up.size()), up);
  const std::string down(700, 'd');
  ASSERT_TRUE(com1.Write(down));
  ASSERT_EQ(client.ReadCount(down.size()), down);
  const QStringList counts{"1,500 bytes", "700 bytes", "127.0.0.1"};
  EXPECT_EQ(Eventually([&] { return Counts(1); }, counts), counts);
  EXPECT_EQ(Shown(1), QStringList({"1.5 kB", "700 B", "127.0.0.1"}));
  // The other lines carried nothing.
  EXPECT_EQ(Shown(2), QStringList({"0 B", "0 B", ""}));

  // The control line counts what its client typed, and the greeting, the
  // echo of the typed line and the reply.
  TcpClient controlClient(control);
  const std::string greeting = "QMX ver2.01 ready\r\n";
  ASSERT_EQ(controlClient.ReadCount(greeting.size()), greeting);
  ASSERT_TRUE(controlClient.Send("hello\r"));
  const std::string answer = "hello\r\n220 QMX ver2.01 ready\r\n";
  ASSERT_EQ(controlClient.ReadCount(answer.size()), answer);
  const QStringList controlCounts{
      "6 bytes", ByteCountTip(greeting.size() + answer.size()), "127.0.0.1"};
  EXPECT_EQ(Eventually([&] { return Counts(0); }, controlCounts), controlCounts);

  // Gone: the address and its tooltip empty, the line's counts stay. A
  // client that closed has only ended its input as far as the server knows,
  // and may still read; the server's next send to it finds it gone.
  client.Close();
  ASSERT_TRUE(com1.Write("bye"));
  auto address1 = [&] { return QStringList({Shows(ClientBox(1)), Tip(ClientBox(1))}); };
  const QStringList gone{"", ""};
  EXPECT_EQ(Eventually(address1, gone), gone);
  EXPECT_EQ(Tip(ToDeviceBox(1)), "1,500 bytes");

  // The next client adds to the line's counts; its tooltip has its own.
  TcpClient next(data);
  ASSERT_TRUE(next.Send("0123456789"));
  ASSERT_EQ(com1.Read(10), "0123456789");
  // (What went to the client is left out: the "bye" may or may not have
  // been handed to the closed client's socket.)
  auto fromClients1 = [&] {
    return QStringList({Tip(ToDeviceBox(1)), Shows(ClientBox(1))});
  };
  const QStringList added{"1,510 bytes", "127.0.0.1"};
  EXPECT_EQ(Eventually(fromClients1, added), added);
  const QString tip = Tip(ClientBox(1));
  EXPECT_TRUE(tip.startsWith("127.0.0.1, connected ") &&
              tip.endsWith("\n10 bytes from it, 0 bytes to it"))
      << tip.toStdString();
}

TEST_F(UiFormTraffic, ColumnsSitOnTheirRowsBesideTheTemplate) {
  Start(nullptr);
  QWidget* form = Find(IDD_CORV_FORM);
  const QList<QWidget*> controls =
      form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  const QString widest[] = {"999 MB", "999 MB", "255.255.255.255"};
  for (int line = 0; line < 9; ++line) {
    const int ids[] = {ToDeviceBox(line), ToClientBox(line), ClientBox(line)};
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(testing::Message() << "line " << line << " field " << ids[i]);
      auto* field = Find<QLineEdit>(ids[i]);
      ASSERT_NE(field, nullptr);
      EXPECT_TRUE(field->isReadOnly() && !(field->focusPolicy() & Qt::TabFocus));
      // Level with its line's status box, inside the form, over no other
      // control, and wide enough for its widest text.
      const QRect at = field->geometry();
      const QRect status = Find(StatusBox(line))->geometry();
      EXPECT_EQ(QList<int>({at.top(), at.height()}),
                QList<int>({status.top(), status.height()}));
      EXPECT_TRUE(form->rect().contains(at));
      for (QWidget* other : controls) {
        EXPECT_TRUE(other == field || !at.intersects(other->geometry()))
            << other->objectName().toStdString();
      }
      const int frame =
          field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, field);
      EXPECT_LE(field->fontMetrics().horizontalAdvance(widest[i]) + 2 * frame + 4,
                at.width());
    }
  }
  // Every id names one control.
  QSet<QString> ids;
  for (QWidget* widget : form->findChildren<QWidget*>()) {
    bool numeric = false;
    widget->objectName().toInt(&numeric);
    if (!numeric) continue;
    EXPECT_FALSE(ids.contains(widget->objectName()))
        << widget->objectName().toStdString();
    ids << widget->objectName();
  }
}

}  // namespace
}  // namespace qmx::ui::test
