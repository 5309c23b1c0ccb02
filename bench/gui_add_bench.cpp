// Built and run by gui_bench.sh (offscreen).
// The main window given a folder of many files, as a user drops it from the
// file list onto the layout: how long the drop takes until the layout shows
// it, the longest stretch in which the window could not repaint, how long
// the layout takes to show one folder of many entries and to scroll through
// it, and the process's peak memory.
//
//   gui_add_bench PARENT_DIR FOLDER_NAME SUBFOLDER_NAME
#include "app/main_form.h"
#include "app/ui_hooks.h"
#include "platform/allocator.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

using namespace velloran::app;

namespace {

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

QTreeWidgetItem* ChildNamed(QTreeWidgetItem* node, const QString& name) {
  for (int i = 0; node && i < node->childCount(); ++i)
    if (node->child(i)->text(0) == name) return node->child(i);
  return nullptr;
}

// Processor time of this process so far (user and system), in ms: on a
// machine shared with other work the wall time says more about the others.
long long CpuMs() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000LL + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

}  // namespace

int main(int argc, char* argv[]) {
  velloran::platform::KeepLargeBlocksReturnable();  // as the application does
  QApplication app(argc, argv);
  SetUpApplication();
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PARENT_DIR FOLDER_NAME SUBFOLDER_NAME\n", argv[0]);
    return 2;
  }
  const QString parent = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  const QString folder = QString::fromLocal8Bit(argv[2]);
  const QString subfolder = QString::fromLocal8Bit(argv[3]);
  Hooks().message = [](QWidget*, const Message& m) {
    std::fprintf(stderr, "message: %s\n", qPrintable(m.text));
    return static_cast<int>(QMessageBox::Ok);
  };

  Tfrmmain w;
  w.show();
  Pump(300);
  w.ShellTreeView1->SetPath(parent);
  w.ShellListView1->SetPath(parent);
  Pump(300);
  w.ShellListView1->SelectNames({folder});

  // A timer that fires every 10 ms whenever the event loop runs: the
  // longest gap between two of its ticks is the longest the window could
  // not repaint.
  QElapsedTimer clock;
  qint64 lastTick = 0, longestGap = 0;
  int ticks = 0;
  QTimer heartbeat;
  QObject::connect(&heartbeat, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    longestGap = std::max(longestGap, now - lastTick);
    lastTick = now;
    ++ticks;
  });
  int hintChanges = 0;
  QString lastHint;
  QTimer hintWatch;
  QObject::connect(&hintWatch, &QTimer::timeout, [&] {
    if (w.Label3->text() != lastHint) ++hintChanges, lastHint = w.Label3->text();
  });
  const long long dropCpu = CpuMs();
  clock.start();
  heartbeat.start(10);
  hintWatch.start(10);
  w.ListView1DragDrop(w.ShellListView1);
  const qint64 dropMs = clock.elapsed();
  const long long dropCpuMs = CpuMs() - dropCpu;
  longestGap = std::max(longestGap, dropMs - lastTick);
  heartbeat.stop();
  hintWatch.stop();
  const int files = w.zcdb.Tree().FileCount() - w.zcdb.Tree().DirCount();

  // The folder of many entries, shown in the list and scrolled through.
  QTreeWidgetItem* node = ChildNamed(ChildNamed(w.TopNode(), folder), subfolder);
  if (!node) {
    std::fprintf(stderr, "the dropped folder is not in the layout tree\n");
    return 1;
  }
  const long long showCpu = CpuMs();
  clock.restart();
  w.tvdir->setCurrentItem(node);
  w.tvdirClick();
  QCoreApplication::processEvents();
  w.ListView1->viewport()->repaint();
  const qint64 showMs = clock.elapsed();
  const long long showCpuMs = CpuMs() - showCpu;
  const int shown = w.ListView1->topLevelItemCount();
  clock.restart();
  QScrollBar* bar = w.ListView1->verticalScrollBar();
  for (int step = 0; step <= 20; ++step) {
    bar->setValue(bar->maximum() * step / 20);
    w.ListView1->viewport()->repaint();
  }
  const qint64 scrollMs = clock.elapsed();

  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("drop:      %6lld ms  (%lld ms of processor time; %d files; longest without repainting %lld ms; "
              "hint line changed %d times)\n",
              static_cast<long long>(dropMs), dropCpuMs, files, static_cast<long long>(longestGap), hintChanges);
  std::printf("folder:    %6lld ms  (%lld ms of processor time) to show %d entries, %lld ms to scroll through them "
              "in 20 steps\n",
              static_cast<long long>(showMs), showCpuMs, shown, static_cast<long long>(scrollMs));
  std::printf("peak RSS:  %6ld KiB\n", usage.ru_maxrss);
  return 0;
}
