"""The scenarios of the end-to-end suite: a person at the real window, played by xdotool.

Each scenario returns a short note when it passes, raises Fail when the program did
something wrong and Skip when the feature it needs is not in this build yet (found by a
probe, such as the status text that a save shows).
"""

import contextlib
import datetime
import os
import re
import shutil
import subprocess
import time

import a11y
import files
from desktop import Program, in_groupbox1, make_task_dir, poll, stop_process


class Fail(Exception):
    pass


class Skip(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Fail(message)


# Controls inside GroupBox1: left, top, width, height.
BUTTON6 = (8, 376, 113, 33)    # 保存配置信息
BUTTON8 = (120, 376, 113, 33)  # 启动备份计划
BUTTON9 = (232, 376, 113, 33)  # 终止备份计划
BUTTON10 = (344, 376, 113, 33)  # 手动执行备份
BUTTON7 = (453, 376, 113, 33)  # 查看操作日志
COUNT_FIELD = (160, 330, 81, 21)  # DBNumberEditEh1
GROUPBOX2 = (16, 168)
CHECKBOX8 = (288, 24, 105, 17)  # 星期三, inside GroupBox2

EDIT1_NAME = "备份文件/文件夹源地址："
EDIT2_NAME = "备份文件/文件夹目的地址："
COUNT_NAME = "保留最近的文件备份数："
PICKER_NAME = "时刻"

# The tree of the plan scenario: large enough that a run lasts over a second, so two runs
# started in one second would overlap.
PLAN_TREE_MB = 256
PLAN_SMALL_FILES = 2000
PLAN_BUTTONS = ["启动备份计划", "终止备份计划", "手动执行备份"]
BUSY, DONE = "文件备份中……", "文件备份完毕！"

# The long runs' tree: many small files and one large one.
LONG_SMALL_FILES, LONG_BIG_MB = 3000, 300


class Suite:
    def __init__(self, desktop, binary, out_dir, keep):
        self.desktop = desktop
        self.binary = binary
        self.out_dir = out_dir
        self.keep = keep
        self.features = {}
        self.programs = []
        self.task_dirs = []

    # -- plumbing -----------------------------------------------------------------------

    def task(self, name):
        path = make_task_dir(f"tessivar-e2e-{name}-")
        self.task_dirs.append(path)
        return path

    def start(self, task, name):
        program = Program(self.desktop, self.binary, task, f"{name}.out")
        self.programs.append(program)
        os.chdir(task)
        if not program.wait_for_window(15):
            code = program.process.poll()
            raise Fail(f"no main window within 15 s (exit code {code})")
        self.desktop.activate(program.window)
        return program

    def finish_scenario(self, passed):
        for program in self.programs:
            program.stop()
        self.programs = []
        os.chdir(self.out_dir)
        if passed and not self.keep:
            for path in self.task_dirs:
                shutil.rmtree(path, ignore_errors=True)
            self.task_dirs = []

    def accessible(self, program):
        app = a11y.application(program.pid, timeout=10)
        if app is None:
            raise Fail("the program did not join the accessibility bus")
        return app

    def field_text(self, program, name, role="text"):
        node = a11y.find(self.accessible(program), name=name, role=role)
        expect(node is not None, f"no accessible {role} named {name!r}")
        return a11y.text_of(node)

    def panel(self, program, panel):
        """A status panel: its description says which, its name is the text it shows."""
        node = a11y.find(self.accessible(program), description=f"StatusBar1.Panels[{panel}]")
        expect(node is not None, f"no accessible status panel {panel}")
        return node

    def panel_text(self, program, panel):
        return self.panel(program, panel).name

    def panel_width(self, program, panel):
        node = self.panel(program, panel)
        return node.queryComponent().getExtents(0).width

    def check_panel(self, program, panel, text, timeout=3):
        """Checks the status text when the panel's text can be read; tells whether it could."""
        if self.panel_text(program, panel) is None:
            return False
        shown = poll(lambda: self.panel_text(program, panel) == text, timeout)
        expect(shown, f"status panel {panel} shows {self.panel_text(program, panel)!r}, "
                      f"expected {text!r}")
        return True

    def box_texts(self, program, title):
        app = self.accessible(program)
        return [a11y.labels_text(frame) for frame in a11y.frames(app)
                if getattr(frame, "name", None) == title]

    def error_box(self, program):
        """The text of an information or error box the program shows, if any."""
        # The tray icon's window carries the application's name as well.
        boxes = [w for w in program.other_windows(name="^Tessivar$")
                 if not self.desktop.docked_in_tray(w)]
        if not boxes:
            return None
        texts = [t for t in self.box_texts(program, "Tessivar") if t]
        return "; ".join(texts) or "(a box titled Tessivar)"

    def expect_no_error_box(self, program):
        text = self.error_box(program)
        if text:
            self.screenshot(program.window, "error-box.png")
            raise Fail(f"unexpected box: {text}")

    def click_control(self, program, rect, button=1):
        program.client(*in_groupbox1(*rect), button=button)

    def screenshot(self, window, name):
        self.desktop.screenshot(os.path.join(self.out_dir, name),
                                self.desktop.frame_rect(window))

    def wait_loaded(self, program, source):
        loaded = poll(lambda: self.field_text(program, EDIT1_NAME) == source, 5)
        if not loaded:
            shown = self.field_text(program, EDIT1_NAME)
            if shown == "":
                raise Skip("settings load not built: Edit1 stays empty although "
                           "config.ini names a source")
            raise Fail(f"Edit1 shows {shown!r}, expected {source!r}")

    # -- 1 ------------------------------------------------------------------------------

    def first_start(self):
        task = self.task("first")
        program = self.start(task, "first-start")
        for folder in ("Log", "TempBackupFile"):
            expect(os.path.isdir(os.path.join(task, folder)), f"no folder {folder}/")
        catalogue = os.path.join(task, "wenjianming.mdb")
        expect(os.path.isfile(catalogue), "no wenjianming.mdb")
        tables = files.catalogue_tables(catalogue)
        expect(tables.get("wenjianming") == ["id", "wenjianming", "shijian"],
               f"catalogue tables {tables}")
        expect(files.catalogue_rows(catalogue) == [], "the new catalogue is not empty")

        info = self.desktop.window_info(program.window)
        expect((info["width"], info["height"]) == (763, 502),
               f"client area {info['width']} x {info['height']}, expected 763 x 502")
        frame = self.desktop.frame_rect(program.window)
        area = self.desktop.work_area()
        area_centre = (area[0] + area[2] / 2, area[1] + area[3] / 2)
        frame_off = (frame[0] + frame[2] / 2 - area_centre[0],
                     frame[1] + frame[3] / 2 - area_centre[1])
        client_off = (info["x"] + 763 / 2 - area_centre[0], info["y"] + 502 / 2 - area_centre[1])
        # Checked last, so that the other checks still run when this one fails.
        centred = (max(map(abs, frame_off)) <= 4 or max(map(abs, client_off)) <= 4)
        expect(self.field_text(program, EDIT1_NAME) == "", "Edit1 not empty")
        expect(self.field_text(program, EDIT2_NAME) == "", "Edit2 not empty")
        self.screenshot(program.window, "main-window-empty.png")
        first_width = self.panel_width(program, 0)
        expect(first_width == 381, f"status panel 0 is {first_width} wide after the "
                                   "start that made the catalogue, expected 381")
        self.expect_no_error_box(program)
        program.stop()
        self.programs.remove(program)

        made = os.stat(catalogue).st_mtime_ns
        again = self.start(task, "first-start-again")
        later_width = self.panel_width(again, 0)
        expect(later_width == 200, f"status panel 0 is {later_width} wide on a later start, "
                                   "expected 200")
        expect(os.stat(catalogue).st_mtime_ns == made, "the catalogue was touched again")
        expect(centred, f"window not centred on the {area[2]}x{area[3]} work area: frame "
                        f"centre off by {frame_off}, client centre off by {client_off}")
        return (f"client 763x502 at {info['x']},{info['y']}, frame centre off by "
                f"{frame_off[0]:+.0f},{frame_off[1]:+.0f}; panel 0 381 then 200")

    # -- 2 ------------------------------------------------------------------------------

    def config_roundtrip(self):
        task = self.task("config")
        # Neither the load nor the save looks at the folders, so these need not exist.
        source = "/home/用户/资料/合同"
        target = "/media/备份盘/备份"
        lines = files.config_lines(source, target, "08:30:17", "星期一;星期二 ;星期五;", "5")
        lines += ["[其他设置]", "说明=保持原样"]
        config = os.path.join(task, "config.ini")
        files.write_bytes(config, files.config_bytes(lines))
        program = self.start(task, "config")

        self.wait_loaded(program, source)
        self.features["load"] = True
        expect(self.field_text(program, EDIT2_NAME) == target, "Edit2 not loaded")
        picker = self.field_text(program, PICKER_NAME, role="spin button")
        expect(picker == "08:30", f"the picker shows {picker!r}, expected '08:30'")
        count = self.field_text(program, COUNT_NAME)
        expect(count == "5", f"the count field shows {count!r}, expected '5'")
        ticked = self.ticked_days(program)
        expect(ticked == ["星期一", "星期二 ", "星期五"], f"ticked boxes {ticked}")
        panel0 = self.panel_text(program, 0)
        expect(panel0 is None or panel0 != "", "status panel 0 has no credit text")

        # On the box's indicator: the rest of the 105-pixel-wide control is no target.
        left, top, _, height = CHECKBOX8
        program.client(*in_groupbox1(GROUPBOX2[0] + left, GROUPBOX2[1] + top, 16, height))
        expect(poll(lambda: "星期三" in self.ticked_days(program), 3),
               "a click on 星期三 did not tick it")
        # A typed 0 becomes 1 when the click on the save button takes the focus.
        self.click_control(program, COUNT_FIELD)
        self.desktop.key("ctrl+a", "0")
        expect(poll(lambda: self.field_text(program, COUNT_NAME) == "0", 3),
               f"typing 0 shows {self.field_text(program, COUNT_NAME)!r}")
        before = files.read_bytes(config)
        self.click_control(program, BUTTON6)
        saved = poll(lambda: files.read_bytes(config) != before or
                     self.panel_text(program, 1) == "配置文件保存完毕!", 5)
        self.expect_no_error_box(program)
        if not saved:
            raise Skip("settings save not built: config.ini unchanged and no "
                       "'配置文件保存完毕!' after '保存配置信息'")
        self.features["save"] = True
        lines[4] = f"{files.KEY_DAYS}=星期一;星期二 ;星期三;星期五;"
        lines[5] = f"{files.KEY_COUNT}=1"
        expected = files.config_bytes(lines)
        poll(lambda: files.read_bytes(config) == expected, 2)
        written = files.read_bytes(config)
        expect(written == expected, f"config.ini after the save:\n{written!r}\nexpected\n"
                                    f"{expected!r}")
        readable = self.check_panel(program, 1, "配置文件保存完毕!")
        self.screenshot(program.window, "main-window.png")
        return "loaded, saved byte for byte" + ("" if readable else
                                                "; panel text not readable via AT-SPI")

    def ticked_days(self, program):
        app = self.accessible(program)
        return [box.name for box in a11y.find_all(app, "check box")
                if "checked" in a11y.states(box)]

    # -- 3 ------------------------------------------------------------------------------

    def manual_backup(self):
        task = self.task("backup")
        source = os.path.join(task, "资料", "合同")
        target_folder = os.path.join(task, "备份")
        files.make_source_tree(source)
        os.makedirs(target_folder)
        files.write_bytes(os.path.join(task, "config.ini"), files.config_bytes(
            files.config_lines(source, target_folder, "08:30:00", files.ALL_DAYS, "3")))
        program = self.start(task, "backup")
        self.wait_loaded(program, source)
        expected_tree = files.tree_listing(source)

        log = os.path.join(task, "Log", "FileBackupLog.log")
        started = datetime.datetime.now().replace(microsecond=0)
        self.click_control(program, BUTTON10)
        logged = poll(lambda: files.read_bytes(log), 15)
        finished = datetime.datetime.now()
        if not logged:
            self.expect_no_error_box(program)
            self.features["backup"] = False
            raise Skip("backup run not built: no log line after '手动执行备份'")
        self.features["backup"] = True
        today = datetime.date.today()
        target = f"{target_folder}/合同_{files.date_stamp(today)}"

        data = files.read_bytes(log)
        lines = files.log_lines(data)
        expect(len(lines) == 1 and data == lines[0], f"log holds {data!r}")
        clock = files.parse_log_time(data)
        expect(clock is not None, f"log line does not start with date and time: {data!r}")
        expect(started - datetime.timedelta(seconds=1) <= clock <= finished,
               f"log time {clock} outside the run ({started} .. {finished})")
        expected_line = files.log_line(today, clock, source, target)
        expect(data == expected_line, f"log line {data!r}, expected {expected_line!r}")

        poll(lambda: self.catalogue_rows(task), 5)
        rows = [(name, day) for _, name, day in self.catalogue_rows(task)]
        expect(rows == [(target, today.isoformat())], f"catalogue rows {rows}")
        expect(os.path.isdir(target), f"no copy at {target}")
        problems = files.tree_differences(expected_tree, files.tree_listing(target))
        expect(not problems, "copy differs: " + "; ".join(problems[:5]))
        leftovers = sorted(set(files.destination_entries(target_folder)) - {os.path.basename(target)})
        expect(not leftovers, f"left in the destination besides the copy: {leftovers}")
        readable = self.check_panel(program, 1, "文件备份完毕！")
        self.expect_no_error_box(program)
        return (f"{len(expected_tree)} entries copied, log line and row exact" +
                ("" if readable else "; panel text not readable via AT-SPI"))

    def catalogue_pairs(self, task):
        return sorted((name, day) for _, name, day in self.catalogue_rows(task))

    def catalogue_rows(self, task):
        try:
            return files.catalogue_rows(os.path.join(task, "wenjianming.mdb"))
        except Exception:
            return []

    # -- 4 ------------------------------------------------------------------------------

    def plan(self):
        """Two windows in one task folder whose plans fire in the same second, on a tree
        large enough that their runs would overlap, and a third window elsewhere whose
        planned run fails: its error box stays open while its timer ticks on."""
        if self.features.get("backup") is False:
            raise Skip("needs the backup run (scenario 3)")
        task = self.task("plan")
        source = os.path.join(task, "data")
        target_folder = os.path.join(task, "copies")
        os.makedirs(source)
        files.write_bytes(os.path.join(source, "note.txt"), b"plan\n")
        block = os.urandom(1 << 20)
        for index in range(PLAN_TREE_MB // 32):
            with open(os.path.join(source, f"part{index}.bin"), "wb") as stream:
                for _ in range(32):
                    stream.write(block)
        for index in range(PLAN_SMALL_FILES):
            folder = os.path.join(source, f"small{index // 100}")
            os.makedirs(folder, exist_ok=True)
            files.write_bytes(os.path.join(folder, f"{index}.txt"), block[index:index + 4096])
        expected_tree = files.tree_listing(source)
        failing = self.task("plan-fails")

        fire, planned = plan_moment(30)
        today = planned.date()
        old = {}
        for days_ago in (3, 2):
            day = today - datetime.timedelta(days=days_ago)
            path = f"{target_folder}/data_{files.date_stamp(day)}"
            os.makedirs(path)
            files.write_bytes(os.path.join(path, "note.txt"), b"old\n")
            old[days_ago] = (path, day.isoformat())
        files.seed_catalogue(os.path.join(task, "wenjianming.mdb"), [old[3], old[2]])
        at = planned.strftime("%H:%M:%S")
        files.write_bytes(os.path.join(task, "config.ini"), files.config_bytes(
            files.config_lines(source, target_folder, at, files.ALL_DAYS, "2")))
        missing = os.path.join(failing, "gone")
        files.write_bytes(os.path.join(failing, "config.ini"), files.config_bytes(
            files.config_lines(missing, os.path.join(failing, "copies"), at, files.ALL_DAYS,
                               "2")))
        programs = [self.start(task, "plan"), self.start(task, "plan-second"),
                    self.start(failing, "plan-fails")]
        for program, shown in zip(programs, (source, source, missing)):
            self.wait_loaded(program, shown)
            self.desktop.activate(program.window)
            self.click_control(program, BUTTON8)
            self.check_panel(program, 1, "启动备份计划")
            self.expect_no_error_box(program)
        expect((fire - datetime.datetime.now()).total_seconds() > 1,
               f"the plans were started only at {datetime.datetime.now():%H:%M:%S}")

        log = os.path.join(task, "Log", "FileBackupLog.log")
        deadline = (fire - datetime.datetime.now()).total_seconds() + 12
        seen = poll(lambda: files.read_bytes(log) and datetime.datetime.now(), deadline, 0.05)
        if not seen:
            self.expect_no_error_box(programs[0])
            raise Skip(f"plan not built: no backup by {fire + datetime.timedelta(seconds=12):%H:%M:%S} "
                       f"for a plan set to {planned:%H:%M}")
        expect(seen >= fire - datetime.timedelta(seconds=0.5),
               f"the backup began at {seen:%H:%M:%S.%f}, before {fire:%H:%M:%S}")
        poll(lambda: len(files.log_lines(files.read_bytes(log))) >= 2, 60)
        lines = files.log_lines(files.read_bytes(log))
        expect(len(lines) == 2, f"{len(lines)} log lines from the two windows: {lines!r}")
        clocks = [files.parse_log_time(line) for line in lines]
        target = f"{target_folder}/data_{files.date_stamp(today)}"
        for line, clock in zip(lines, clocks):
            expect(clock is not None and line == files.log_line(today, clock, source, target),
                   f"log line {line!r}")
        # The log line follows the copy: the first window's is written once its copy is done.
        expect(clocks[0].replace(second=0) == fire.replace(second=0) and
               50 <= clocks[0].second <= 59,
               f"first log time {clocks[0]}, expected soon after {fire:%H:%M:%S}")
        pruned = poll(lambda: not os.path.exists(old[3][0]), 5)
        expect(pruned, "the oldest copy was not pruned with N = 2")
        expect(os.path.isdir(old[2][0]), "the second-newest copy was pruned too")
        expected_rows = sorted([old[2], (target, today.isoformat())])
        # The copy goes from the disk before its row goes from the catalogue.
        poll(lambda: self.catalogue_pairs(task) == expected_rows, 5)
        rows = self.catalogue_pairs(task)
        expect(rows == expected_rows, f"catalogue rows {rows}, expected {expected_rows}")
        problems = files.tree_differences(expected_tree, files.tree_listing(target))
        expect(not problems, "the copy differs: " + "; ".join(problems[:5]))
        leftovers = sorted(set(files.destination_entries(target_folder)) -
                           {os.path.basename(target), os.path.basename(old[2][0])})
        expect(not leftovers, f"left in the destination besides the copies: {leftovers}")
        for program in programs[:2]:
            expect(poll(lambda: self.plan_buttons_enabled(program), 3),
                   "the plan buttons stayed disabled")
            self.expect_no_error_box(program)

        # The failed run's box stays open; the next ticks enable the plan buttons behind it.
        failed = programs[2]
        box = poll(lambda: self.error_box(failed), 10)
        expect(box and "does not exist" in box, f"the failed run shows {box!r}")
        expect(poll(lambda: self.plan_buttons_enabled(failed), 4),
               "the buttons stayed disabled behind the box")
        self.screenshot(failed.window, "plan-error-box.png")
        self.desktop.screenshot(os.path.join(self.out_dir, "plan-error-box-desktop.png"))
        expect(self.error_box(failed), "the error box went away by itself")
        return (f"two windows logged at {clocks[0]:%H:%M:%S} and {clocks[1]:%H:%M:%S} for "
                f"{planned:%H:%M} on {PLAN_TREE_MB} MB and {PLAN_SMALL_FILES} small files: one row, copy whole; the failed "
                "run's box open with the buttons enabled behind it")

    def plan_buttons_enabled(self, program):
        app = self.accessible(program)
        return all("enabled" in a11y.states(a11y.find(app, name=b, role="push button"))
                   for b in PLAN_BUTTONS)

    # -- 5 ------------------------------------------------------------------------------

    def tray(self):
        task = self.task("tray")
        program = self.start(task, "tray")
        desktop = self.desktop
        desktop.xdotool("windowminimize", program.window)

        def tray_icon():
            for window in desktop.windows_of(program.pid, visible=False):
                if window != program.window and desktop.viewable(window) and \
                        desktop.docked_in_tray(window):
                    return window
            return None

        icon = poll(tray_icon, 5)
        if not icon:
            state = desktop.wm_state(program.window)
            if state == "Iconic":
                raise Skip("tray not built: the window was minimised normally")
            raise Fail(f"no tray icon, and the window is {state}")
        expect(not desktop.viewable(program.window), "the window is still shown beside the icon")
        info = desktop.window_info(icon)
        desktop.click(icon, max(1, info["width"] // 2), max(1, info["height"] // 2))
        back = poll(lambda: desktop.viewable(program.window), 5)
        expect(back, "a click on the tray icon did not bring the window back")
        gone = poll(lambda: not desktop.viewable(icon), 5)
        expect(gone, "the tray icon stayed after the restore")
        self.expect_no_error_box(program)
        return f"icon {info['width']}x{info['height']} docked in trayer; click restored"

    # -- 6 ------------------------------------------------------------------------------

    def log_viewer(self):
        task = self.task("viewer")
        os.makedirs(os.path.join(task, "Log"))
        log = os.path.join(task, "Log", "FileBackupLog.log")
        day = datetime.date(2024, 5, 14)
        entries = [files.log_line(day, datetime.time(9, 30, 5), "/srv/资料/合同",
                                  "/backup/合同_240514"),
                   files.log_line(day, datetime.time(23, 59, 50), "/srv/报表",
                                  "/backup/报表_240514")]
        content = b"".join(entries)
        files.write_bytes(log, content)
        program = self.start(task, "viewer")
        self.click_control(program, BUTTON7)
        viewer = poll(lambda: program.other_windows(name="^操作日志$"), 5)
        if not viewer:
            self.expect_no_error_box(program)
            raise Fail("no window '操作日志' after '查看操作日志'")
        viewer = viewer[0]
        expect(files.read_bytes(log) == content, "opening the viewer changed the log")
        frame = self.viewer_frame(program)
        memo = a11y.find(frame, role="text") if frame is not None else None
        shown = a11y.text_of(memo) if memo is not None else None
        if not shown:
            self.screenshot(viewer, "log-viewer.png")
            raise Skip("log viewer text not built: the viewer shows no text")
        expected = content.decode("gb18030").replace("\r\n", "\n")
        expect(shown.replace("\r\n", "\n").rstrip("\n") == expected.rstrip("\n"),
               f"the viewer shows {shown!r}, expected {expected!r}")
        self.screenshot(viewer, "log-viewer.png")

        if not self.open_context_menu(program, viewer):
            raise Skip("log viewer context menu not built: no menu on a right click")
        self.desktop.key("c")
        confirm = poll(lambda: program.other_windows(name="^Confirm$"), 3)
        if not confirm:
            raise Skip("log clear not built: no 'Confirm' box after '清除(&C)'")
        question = " ".join(self.box_texts(program, "Confirm"))
        expect("您确定要清除现有的日志信息吗？" in question, f"the box asks {question!r}")
        self.desktop.activate(confirm[0])
        self.desktop.key("Escape")
        expect(poll(lambda: not program.other_windows(name="^Confirm$"), 3),
               "Esc did not close the box")
        expect(files.read_bytes(log) == content, "the log changed after answering No")

        expect(self.open_context_menu(program, viewer), "no context menu the second time")
        self.desktop.key("c")
        confirm = poll(lambda: program.other_windows(name="^Confirm$"), 3)
        expect(confirm, "no 'Confirm' box the second time")
        self.desktop.activate(confirm[0])
        self.desktop.key("Return")
        emptied = poll(lambda: files.read_bytes(log) == b"", 3)
        expect(emptied, f"the log holds {files.read_bytes(log)!r} after '&Yes'")
        expect(poll(lambda: not a11y.text_of(memo), 3), "the viewer still shows text")
        self.expect_no_error_box(program)
        return "two lines shown; Esc kept the log; Enter emptied it"

    def viewer_frame(self, program):
        app = self.accessible(program)
        return poll(lambda: next((f for f in a11y.frames(app) if f.name == "操作日志"), None), 3)

    def popup_menus(self, program):
        # A menu is a window that the window manager leaves alone (override-redirect).
        return [w for w in program.other_windows()
                if self.desktop.window_info(w)["override_redirect"]]

    def open_context_menu(self, program, viewer):
        poll(lambda: not self.popup_menus(program), 3)
        info = self.desktop.window_info(viewer)
        # Right after a modal box closes the first press can still be swallowed: try again.
        for _ in range(3):
            self.desktop.activate(viewer)
            self.desktop.click(viewer, info["width"] // 2, info["height"] // 2, button=3)
            if poll(lambda: self.popup_menus(program), 1):
                return True
        return False

    # -- 7 ------------------------------------------------------------------------------

    def exit_question(self):
        task = self.task("exit")
        program = self.start(task, "exit")
        desktop = self.desktop
        confirm = self.ask_exit(program)
        expect(confirm, "no 'Confirm' box after Alt+F4")
        question = " ".join(self.box_texts(program, "Confirm"))
        expect("您确定要退出该系统吗？" in question, f"the box asks {question!r}")
        self.screenshot(confirm[0], "exit-question.png")
        desktop.activate(confirm[0])
        desktop.key("Escape")
        expect(poll(lambda: not program.other_windows(name="^Confirm$"), 3),
               "Esc did not close the box")
        expect(not poll(lambda: not program.alive(), 0.5), "the program ended on '&No'")
        expect(desktop.viewable(program.window), "the window went away on '&No'")

        confirm = self.ask_exit(program)
        expect(confirm, "no 'Confirm' box after the second Alt+F4")
        desktop.activate(confirm[0])
        desktop.key("Return")
        ended = poll(lambda: not program.alive(), 5)
        expect(ended, "the program still runs after '&Yes'")
        code = program.process.returncode
        expect(code == 0, f"exit code {code}, expected 0")
        return "Esc kept it running, Enter ended it with code 0"

    def ask_exit(self, program):
        """Alt+F4 on the main window; the question box it brings, if any."""
        self.desktop.activate(program.window)
        self.desktop.key("alt+F4")
        return poll(lambda: program.other_windows(name="^Confirm$"), 5)

    # -- 8 ------------------------------------------------------------------------------

    def long_run(self):
        """Half a gigabyte onto an exFAT volume through FUSE: the window answers throughout,
        the taskbar entry's bar rises to the end, the plan buttons are off during a planned
        run, and an exit mid-run leaves a hidden copy that the next run clears."""
        task = self.task("long")
        a11y.set_timeout(5000)  # so that a slow answer is measured, not cut off at 0.8 s
        try:
            with exfat_volume(task) as volume:
                return self.long_runs(task, os.path.join(volume, "备份"))
        finally:
            a11y.set_timeout(800)

    def long_runs(self, task, copies):
        clock, slow = time.monotonic(), []
        source, block = os.path.join(task, "资料"), os.urandom(1 << 20)
        for index in range(LONG_SMALL_FILES):
            folder = os.path.join(source, f"d{index // 100}")
            os.makedirs(folder, exist_ok=True)
            files.write_bytes(os.path.join(folder, f"{index}.bin"), block[index * 256:][:1 << 16])
        files.write_bytes(os.path.join(source, "big.bin"), block * LONG_BIG_MB)
        expected = contents(files.tree_listing(source))

        def check_copy():
            problems = files.tree_differences(expected, contents(files.tree_listing(target)))
            expect(not problems, "the copy differs: " + "; ".join(problems[:5]))

        name = f"资料_{files.date_stamp(datetime.date.today())}"
        target = os.path.join(copies, name)

        def partial():  # the hidden copy being made, marked with its task
            hidden = [n for n in os.listdir(copies) if n.startswith(f".{name}.") and n.endswith(".partial")]
            return os.path.join(copies, hidden[0]) if hidden else ""

        config, log = os.path.join(task, "config.ini"), os.path.join(task, "Log", "FileBackupLog.log")
        files.write_bytes(config, files.config_bytes(
            files.config_lines(source, copies, "08:30:00", files.ALL_DAYS, "3")))
        program = self.start(task, "long")
        self.wait_loaded(program, source)
        made = time.monotonic() - clock

        with open(os.path.join(self.out_dir, "launcher-entry.txt"), "w+") as signals:
            monitor = subprocess.Popen(["dbus-monitor", "--session", "type='signal',interface="
                                        "'com.canonical.Unity.LauncherEntry'"], stdout=signals)
            try:
                time.sleep(0.5)
                clock = time.monotonic()
                self.click_control(program, BUTTON10)
                texts = [text for text, _ in self.probe_run(program, log, 1, 180, slow)]
                manual = time.monotonic() - clock
                time.sleep(0.5)
            finally:
                stop_process(monitor)
            signals.seek(0)
            updates = launcher_updates(signals.read())
        expect(BUSY in texts, f"panel 1 never read {BUSY!r} during the run: {set(texts)}")
        check_copy()
        shown = [progress for progress, visible in updates if visible]
        expect(len(updates) >= 3 and [v for _, v in updates] == [True] * len(shown) + [False],
               f"LauncherEntry updates {updates}: expected shown ones, then one hiding it")
        expect(shown == sorted(shown) and shown[-1] == 1 and any(0 < p < 1 for p in shown),
               f"the progress went {shown}")

        # An exit confirmed mid-run: the window goes at once, the program once the run stops.
        shutil.rmtree(target)
        before = (files.read_bytes(log), self.catalogue_rows(task))
        self.click_control(program, BUTTON10)
        expect(poll(lambda: self.panel_text(program, 1) == BUSY and partial(),
                    20, 0.05), "the second run did not start copying")
        confirm = self.ask_exit(program)
        expect(confirm, "no 'Confirm' box after Alt+F4 during a run")
        self.desktop.activate(confirm[0])
        clock = time.monotonic()
        self.desktop.key("Return")
        gone = (poll(lambda: not self.desktop.viewable(program.window), 5, 0.02) and
                time.monotonic() - clock)
        ended = poll(lambda: not program.alive(), 60, 0.02) and time.monotonic() - clock
        expect(gone and gone <= 2, f"the window went {gone or 'over 5'} s after '&Yes', not in 2 s")
        expect(ended, "the program still runs 60 s after '&Yes'")
        expect(program.process.returncode == 0, f"exit code {program.process.returncode}")
        expect(not os.path.exists(target), "the stopped run put its copy in place")
        expect(partial(), f"no hidden .{name}.<task>.partial left")
        after = (files.read_bytes(log), self.catalogue_rows(task))
        expect(after == before, f"the stopped run logged or catalogued: {after} != {before}")

        # The next start's run clears the hidden copy; then a planned run.
        fire, planned = plan_moment(25 + 2 * manual)  # after the rerun and the removal
        files.write_bytes(config, files.config_bytes(files.config_lines(
            source, copies, planned.strftime("%H:%M:%S"), files.ALL_DAYS, "3")))
        program = self.start(task, "long-again")
        self.wait_loaded(program, source)
        clock = time.monotonic()
        self.click_control(program, BUTTON10)
        self.probe_run(program, log, 2, 180, slow)
        rerun = time.monotonic() - clock
        entries = files.destination_entries(copies)
        expect(entries == [name], f"the destination holds {entries}, expected only {name!r}")
        shutil.rmtree(target)  # the volume holds one copy only
        self.click_control(program, BUTTON8)
        wait = (fire - datetime.datetime.now()).total_seconds()
        expect(wait > 1, f"the plan was started only at {datetime.datetime.now():%H:%M:%S}")
        readings = self.probe_run(program, log, 3, wait + 180, slow, PLAN_BUTTONS)
        off = [enabled for _, enabled in readings if not any(enabled)]
        during = [enabled for text, enabled in readings if text == BUSY]
        expect(during and not any(any(enabled) for enabled in during),
               f"the plan buttons during the planned run: {during}")
        expect(poll(lambda: self.plan_buttons_enabled(program), 3),
               "the plan buttons stayed disabled after the planned run")
        check_copy()
        self.expect_no_error_box(program)
        return (f"source {made:.1f} s; manual run {manual:.1f} s, {len(updates)} LauncherEntry "
                f"updates; exit: window gone {gone:.2f} s, process {ended:.2f} s; rerun "
                f"{rerun:.1f} s; plan waited {wait:.0f} s, buttons off {len(off) / 4:.1f} s; "
                f"slowest AT-SPI answer per run {'/'.join(f'{t * 1000:.0f}' for t in slow)} ms")

    def probe_run(self, program, log, lines, timeout, slow, buttons=()):
        """Reads panel 1 and the buttons' states via AT-SPI every 250 ms, each answer due in
        1 s, until the log has `lines` lines and the panel reads DONE; adds to slow the slowest
        answer and returns the readings (panel text, buttons enabled)."""
        app, panel = self.accessible(program), self.panel(program, 1)
        queries = [lambda: panel.name] + [
            lambda node=a11y.find(app, name=b, role="push button"): "enabled" in a11y.states(node)
            for b in buttons]
        readings, slowest, deadline = [], 0.0, time.monotonic() + timeout
        while True:
            asked, answers = time.monotonic(), []
            for query in queries:
                begun = time.monotonic()
                answers.append(query())
                slowest = max(slowest, time.monotonic() - begun)
            readings.append((answers[0], answers[1:]))
            expect(slowest <= 1, f"an AT-SPI query took {slowest:.2f} s ({answers[0]!r})")
            if answers[0] == DONE and len(files.log_lines(files.read_bytes(log))) >= lines:
                slow.append(slowest)
                return readings
            expect(asked < deadline, f"no log line {lines} within {timeout:.0f} s; panel 1 "
                                     f"reads {answers[0]!r}")
            time.sleep(max(0.0, asked + 0.25 - time.monotonic()))


def plan_moment(lead):
    """The first second 50 at least lead seconds ahead, when a plan fires, and the time of
    that plan."""
    now = datetime.datetime.now()
    fire = now.replace(second=50, microsecond=0)
    while (fire - now).total_seconds() < lead:
        fire += datetime.timedelta(minutes=1)
    planned = fire + datetime.timedelta(seconds=10)
    if planned.date() != now.date():
        raise Skip("too close to midnight for a planned run today")
    return fire, planned


def contents(listing):
    """A tree listing without permission bits and times, which exFAT does not keep."""
    return {name: entry[:1] + entry[2:4] for name, entry in listing.items()}


def launcher_updates(monitored):
    """(progress, progress-visible) of the program's LauncherEntry.Update signals in the
    output of dbus-monitor."""
    updates = []
    for signal in monitored.split("signal time=")[1:]:
        if "member=Update" in signal and '"application://tessivar.desktop"' in signal:
            progress = re.search(r'"progress"\s+variant\s+double (\S+)', signal)
            visible = re.search(r'"progress-visible"\s+variant\s+boolean (\w+)', signal)
            expect(progress and visible, f"a LauncherEntry update without both: {signal}")
            updates.append((float(progress.group(1)), visible.group(1) == "true"))
    return updates


@contextlib.contextmanager
def exfat_volume(folder):
    """A 1 GiB exFAT file system in an image in folder, mounted through FUSE, or a skip
    where one cannot be made here; unmounted and detached whatever happens."""
    image, mount, loop = os.path.join(folder, "exfat.img"), os.path.join(folder, "volume"), None
    os.makedirs(mount)

    def run(*argv):
        try:
            done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        except OSError as error:
            raise Skip(f"no exFAT volume: {error}")
        if done.returncode != 0:
            raise Skip(f"no exFAT volume: {' '.join(argv)}: {done.stderr.strip()}")
        return done.stdout.strip()

    try:
        run("truncate", "-s", "1G", image)
        run("mkfs.exfat", image)
        loop = run("losetup", "-f", "--show", image)
        run("mount.exfat-fuse", loop, mount)
        if not os.path.ismount(mount):
            raise Skip(f"no exFAT volume: nothing mounted at {mount}")
        yield mount
    finally:
        if os.path.ismount(mount) and subprocess.run(["umount", mount]).returncode:
            subprocess.run(["umount", "-l", mount])
        if loop:
            subprocess.run(["losetup", "-d", loop])


SCENARIOS = [
    ("first_start", Suite.first_start),
    ("config_roundtrip", Suite.config_roundtrip),
    ("manual_backup", Suite.manual_backup),
    ("plan", Suite.plan),
    ("tray", Suite.tray),
    ("log_viewer", Suite.log_viewer),
    ("exit_question", Suite.exit_question),
    ("long_run", Suite.long_run),
]
