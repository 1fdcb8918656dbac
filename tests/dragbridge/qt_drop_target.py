#!/usr/bin/python3
"""A Qt 5 drop target for the drag tests.

    qt_drop_target.py X Y WIDTH HEIGHT

Shows a frameless window at X,Y that accepts drops of URLs. Prints
"READY <window id>" once it is on screen, then for each drop:
"DROP <JSON list of the text/uri-list lines received, in order>" and
"FILES <JSON list of the local files Qt made of them>". Ends when standard
input closes.
"""
import json
import os
import sys

os.environ.setdefault("QT_QPA_PLATFORM", "xcb")
from PyQt5.QtCore import QSocketNotifier, Qt, QTimer  # noqa: E402
from PyQt5.QtWidgets import QApplication, QWidget  # noqa: E402


class Target(QWidget):
    def __init__(self):
        super().__init__(None, Qt.FramelessWindowHint)
        self.setWindowTitle("qt drop target")
        self.setAcceptDrops(True)

    def dragEnterEvent(self, event):
        if event.mimeData().hasUrls():
            event.acceptProposedAction()

    def dragMoveEvent(self, event):
        event.acceptProposedAction()

    def dropEvent(self, event):
        data = event.mimeData()
        raw = bytes(data.data("text/uri-list")).decode("utf-8", "surrogateescape")
        lines = [l for l in raw.split("\r\n") if l and not l.startswith("#")]
        print("DROP " + json.dumps(lines), flush=True)
        print("FILES " + json.dumps([u.toLocalFile() for u in data.urls()]), flush=True)
        event.acceptProposedAction()


def main():
    x, y, w, h = (int(v) for v in sys.argv[1:5])
    app = QApplication(sys.argv[:1])
    win = Target()
    win.setGeometry(x, y, w, h)
    win.show()
    QTimer.singleShot(300, lambda: print("READY %d" % int(win.winId()), flush=True))
    stdin = QSocketNotifier(sys.stdin.fileno(), QSocketNotifier.Read)

    def readable():
        if not os.read(sys.stdin.fileno(), 4096):
            app.quit()

    stdin.activated.connect(readable)
    app.exec_()


if __name__ == "__main__":
    main()
