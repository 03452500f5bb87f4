"""Where Wine's kernel differs from Windows, and what the Wine run does about it.

This is the only place where the comparison between the Wine run and the ntsim
run bends. ntsim behaves as Windows does; each entry below names a behaviour of
Wine 8 (Debian's wine64) that differs, why, and exactly how the comparison
accounts for it. Everything not listed here must match exactly: statuses,
Win32 errors, byte counts, data and every debugger line, in order.
docs/WINE.md explains each entry at length.
"""

from __future__ import annotations

import re
from dataclasses import dataclass


@dataclass(frozen=True)
class Difference:
    name: str
    wine: str       # what Wine does
    windows: str    # what Windows does, and ntsim with it
    handling: str   # what the comparison does about it


DIFFERENCES: tuple[Difference, ...] = (
    Difference(
        "boot without capability query",
        "starts a root-enumerated device with AddDevice and IRP_MN_START_DEVICE only: no "
        "IRP_MN_QUERY_CAPABILITIES, no power IRPs",
        "the PnP manager also queries the capabilities after the start",
        "ntsim boots as Wine does (--bare, then `pnp start`), so both capability tables stay "
        "in their zero state and the table replies and dumps are compared as they are"),
    Difference(
        "no IRP_MJ_CLEANUP",
        "closing the last handle sends IRP_MJ_CLOSE only",
        "IRP_MJ_CLEANUP, then IRP_MJ_CLOSE",
        "none needed: the drivers leave IRP_MJ_CLEANUP to the I/O manager, which prints nothing"),
    Difference(
        "close does not wait",
        "CloseHandle returns before the driver has seen IRP_MJ_CLOSE, and the driver host's "
        "debugger output is a stream of its own",
        "the close request is finished when CloseHandle returns",
        "debugger lines are compared as one ordered stream per phase (boot, script, removal, "
        "unload), collected until the ntsim run's count of lines has arrived and the stream is still"),
    Difference(
        "direct I/O describes a copy",
        "copies the caller's buffer into the driver host and describes that copy by the MDL, "
        "also for a zero-length transfer; MmMapLockedPagesSpecifyCache returns NULL, but the "
        "MDL comes mapped (MDL_MAPPED_TO_SYSTEM_VA)",
        "the MDL describes the caller's locked pages (none for a zero-length transfer), so its "
        "byte offset is the caller's offset in the page",
        "in \"Offset for Buffer in the Memory Page: N\" the number is not compared; on Wine it "
        "must be an offset within a page (0 to 4095). Data, lengths and statuses are compared"),
    Difference(
        "DbgPrint line ends",
        "prints each DbgPrint call as one warn:debugstr line and adds a line feed to a text "
        "that has none (it does not know %wZ either; no path run here uses it)",
        "the debugger receives the text as formatted",
        "an ntsim text without a final line feed is expected with one added"),
    Difference(
        "removal",
        "removes a device (DIF_REMOVE) with IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE",
        "an orderly removal is IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE",
        "ntsim sends what Wine sends (`pnp surprise-removal`, `pnp remove`)"),
    Difference(
        "power requests",
        "sends no power IRPs, and its PoRequestPowerIrp is a stub that requests nothing",
        "the power manager sends power IRPs and PoRequestPowerIrp sends one",
        "no power command is run; the power paths are tested on ntsim only"),
)


# How pdctl drives ntsim so that the drivers meet it as they meet Wine.
NTSIM_OPTIONS = ("--bare",)                       # load and AddDevice only ...
NTSIM_BOOT = ("pnp start",)                       # ... then the start, as Wine boots
NTSIM_REMOVAL = ("pnp surprise-removal", "pnp remove")
NTSIM_UNLOAD = ("unload",)

# The lines of DriverUnload, which both kernels call once the device is removed.
UNLOAD_LINES = ("In DriverUnload : Begin\r\n", "In DriverUnload : End\r\n")

# Wine's refusal to unload a driver whose device outlived its removal, in the driver host's log (err channel).
UNLOAD_REFUSAL = re.compile(
    r"err:ntoskrnl:ZwUnloadDriver cannot unload driver L\"\\\\Registry\\\\Machine\\\\System"
    r"\\\\CurrentControlSet\\\\Services\\\\(?P<service>[^\"]+)\" which still has running PnP devices")

_PAGE_OFFSET_LINE = re.compile(r"Offset for Buffer in the Memory Page: (\d+)\r\n")
PAGE_SIZE = 4096


@dataclass(frozen=True)
class ExpectedLine:
    """One debugger line expected on Wine, made from the ntsim run's line."""

    text: str                       # the line as ntsim printed it, line end added if missing
    page_offset: bool = False       # "direct I/O describes a copy": the number is Wine's own
    difference: str | None = None   # the entry of DIFFERENCES applied, if any

    def matches(self, wine_text: str) -> bool:
        if not self.page_offset:
            return wine_text == self.text
        found = _PAGE_OFFSET_LINE.fullmatch(wine_text)
        return found is not None and int(found.group(1)) < PAGE_SIZE

    def describe(self) -> str:
        text = self.text.encode("unicode_escape").decode("ascii")
        return text + ("   (on Wine: any offset in a page, 0 to 4095)" if self.page_offset else "")


def expected_on_wine(ntsim_text: str) -> ExpectedLine:
    """The Wine line that stands for one line of the ntsim run."""
    if _PAGE_OFFSET_LINE.fullmatch(ntsim_text):
        return ExpectedLine(ntsim_text, page_offset=True, difference="direct I/O describes a copy")
    if not ntsim_text.endswith("\n"):
        return ExpectedLine(ntsim_text + "\n", difference="DbgPrint line ends")
    return ExpectedLine(ntsim_text)


