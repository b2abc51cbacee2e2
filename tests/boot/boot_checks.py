#!/usr/bin/env python3
"""Boot checks: disks made by the setup program on an emulated machine start the menu in QEMU.

For each disk (MBR and GPT made by the Create and Install jobs, and a disk partitioned by hand with
an exFAT data partition and a FAT32 partition without a drive letter, installed in partition mode)
the image is checked offline first (partition table, the identifier that the FAT32 grub.cfg names,
the menu read through GRUB's own drivers), then booted under TCG: SeaBIOS from an IDE disk and from
a USB stick, OVMF x64, OVMF x64 with Secure Boot and Microsoft's keys (shim must hand over to
MokManager, since our key is not enrolled yet), and OVMF ia32 and AAVMF aa64 when they are
installed.

A boot passes when the menu's title and its last entry reach the serial log. QEMU is stopped at
once on success, early on "grub rescue>" or a Secure Boot refusal where none is expected, when the
machine resets or powers off (-no-reboot), and after a time limit.

Exit code 0 when everything passed, 1 otherwise, 77 when QEMU or OVMF is missing (CTest: skipped).
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SEABIOS_TIMEOUT = 90
UEFI_TIMEOUT = 180
SETUP_TIMEOUT = 600

OVMF_X64 = "/usr/share/ovmf/OVMF.fd"
OVMF_SECURE_CODE = "/usr/share/OVMF/OVMF_CODE_4M.secboot.fd"
OVMF_MS_VARS = "/usr/share/OVMF/OVMF_VARS_4M.ms.fd"
OVMF_IA32_CODE = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd"
OVMF_IA32_VARS = "/usr/share/OVMF/OVMF32_VARS_4M.fd"
AAVMF_CODE = "/usr/share/AAVMF/AAVMF_CODE.fd"
AAVMF_VARS = "/usr/share/AAVMF/AAVMF_VARS.fd"

MENU = ["Velund Orrin", "Power off"]  # the title, then the menu's last entry
NEVER = ["grub rescue>", "Security Violation", "prohibited by secure boot"]

CREATE_AND_INSTALL = """tab Create
pick DiskLists 0
click {style}
click ButtonCreate
wait-idle
tab Install
click SetupButton
wait-idle
close
"""

INSTALL_ONLY = """tab Install
pick NTFSDriveLists 0
pick FAT32DriveLists 0
click SetupButton
wait-idle
close
"""


class CheckFailed(Exception):
    pass


def run(command, **kwargs):
    """Runs a host program; its output, or CheckFailed with what it said."""
    result = subprocess.run(command, capture_output=True, text=True, errors="replace", **kwargs)
    if result.returncode != 0:
        raise CheckFailed(f"{' '.join(command)} exited {result.returncode}: "
                          f"{(result.stderr or result.stdout).strip()[-600:]}")
    return result.stdout


def readable(log):
    """The serial log without terminal escapes, box-drawing bytes and repeated blanks."""
    text = log.decode("latin-1")
    text = re.sub(r"\x1b\[[0-9;=?]*[A-Za-z]", " ", text)
    text = re.sub(r"[\x80-\xff]", " ", text)
    return re.sub(r"[ \t]+", " ", text)


def contains_in_order(text, markers):
    position = 0
    for marker in markers:
        position = text.find(marker, position)
        if position < 0:
            return False
        position += len(marker)
    return True


class Boot:
    """One QEMU run, watched through its serial log."""

    def __init__(self, name, command, expect, timeout, never=NEVER, answer=None):
        self.name = name
        self.command = command
        self.expect = expect
        self.timeout = timeout
        self.never = never
        self.answer = answer  # (text, then expected) : press Enter once text shows, then expect more

    def run(self, folder):
        log_path = os.path.join(folder, "serial.log")
        monitor_path = os.path.join(folder, "monitor.sock")
        command = self.command + ["-display", "none", "-no-reboot", "-net", "none",
                                  "-serial", f"file:{log_path}",
                                  "-monitor", f"unix:{monitor_path},server=on,wait=off"]
        start = time.monotonic()
        qemu = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        answered = False
        expect = list(self.expect)
        try:
            while True:
                time.sleep(0.5)
                elapsed = time.monotonic() - start
                text = readable(open(log_path, "rb").read()) if os.path.exists(log_path) else ""
                if self.answer and not answered and self.answer[0] in text:
                    # The firmware's console takes the key; shim goes on when it has one.
                    time.sleep(1)
                    self._send_key(monitor_path, "ret")
                    answered = True
                    expect = expect + self.answer[1]
                elif contains_in_order(text, expect) and (answered or not self.answer):
                    return elapsed, None
                for word in self.never:
                    if word in text:
                        return elapsed, f'"{word}" on the serial log' + tail(text)
                if qemu.poll() is not None:
                    error = qemu.stderr.read().decode(errors="replace").strip()
                    return elapsed, (f"QEMU ended (exit {qemu.returncode}: a reset, power-off or error)"
                                     + (f": {error[-300:]}" if error else "") + tail(text))
                if elapsed > self.timeout:
                    return elapsed, f"no menu within {self.timeout} s" + tail(text)
        finally:
            if qemu.poll() is None:
                qemu.kill()
            qemu.wait()

    @staticmethod
    def _send_key(monitor_path, key):
        with socket.socket(socket.AF_UNIX) as monitor:
            monitor.connect(monitor_path)
            monitor.sendall(f"sendkey {key}\n".encode())
            time.sleep(0.3)


def tail(text):
    last = text.strip()[-400:]
    return f"; serial log ends: {last!r}" if last else "; serial log empty"


def boots_for(image, folder):
    drive = f"file={image},format=raw,snapshot=on"
    tcg_pc = ["qemu-system-x86_64", "-machine", "pc,accel=tcg", "-m", "256"]
    tcg_q35 = ["qemu-system-x86_64", "-machine", "q35,accel=tcg", "-m", "512"]
    boots = [
        Boot("SeaBIOS, IDE disk", tcg_pc + ["-drive", drive], MENU, SEABIOS_TIMEOUT),
        Boot("SeaBIOS, USB stick", tcg_pc + ["-device", "qemu-xhci", "-drive", f"if=none,id=stick,{drive}",
                                             "-device", "usb-storage,drive=stick"], MENU, SEABIOS_TIMEOUT),
        Boot("OVMF x64", tcg_q35 + ["-bios", OVMF_X64, "-drive", drive], MENU, UEFI_TIMEOUT),
    ]
    if os.path.exists(OVMF_SECURE_CODE) and os.path.exists(OVMF_MS_VARS):
        variables = os.path.join(folder, "OVMF_VARS_4M.ms.fd")
        shutil.copyfile(OVMF_MS_VARS, variables)
        boots.append(Boot(
            "OVMF x64, Secure Boot with Microsoft's keys",
            ["qemu-system-x86_64", "-machine", "q35,smm=on,accel=tcg", "-m", "512",
             "-global", "driver=cfi.pflash01,property=secure,value=on",
             "-drive", f"if=pflash,format=raw,unit=0,file={OVMF_SECURE_CODE},readonly=on",
             "-drive", f"if=pflash,format=raw,unit=1,file={variables}", "-drive", drive],
            # shim (Microsoft-signed) starts, refuses our GRUB whose key is not enrolled yet, and
            # hands over to MokManager.
            [], UEFI_TIMEOUT, never=["grub rescue>", "Velund Orrin"],
            answer=("Verification failed: (0x1A) Security Violation", ["Shim UEFI key management"])))
    if os.path.exists(OVMF_IA32_CODE) and shutil.which("qemu-system-i386"):
        variables = os.path.join(folder, "OVMF32_VARS_4M.fd")
        shutil.copyfile(OVMF_IA32_VARS, variables)
        boots.append(Boot(
            "OVMF ia32",
            ["qemu-system-i386", "-machine", "q35,smm=on,accel=tcg", "-m", "512",
             "-global", "driver=cfi.pflash01,property=secure,value=on",
             "-drive", f"if=pflash,format=raw,unit=0,file={OVMF_IA32_CODE},readonly=on",
             "-drive", f"if=pflash,format=raw,unit=1,file={variables}", "-drive", drive],
            MENU, UEFI_TIMEOUT))
    if os.path.exists(AAVMF_CODE) and shutil.which("qemu-system-aarch64"):
        variables = os.path.join(folder, "AAVMF_VARS.fd")
        shutil.copyfile(AAVMF_VARS, variables)
        boots.append(Boot(
            "AAVMF aa64",
            ["qemu-system-aarch64", "-machine", "virt,accel=tcg", "-cpu", "cortex-a57", "-m", "512",
             "-drive", f"if=pflash,format=raw,unit=0,file={AAVMF_CODE},readonly=on",
             "-drive", f"if=pflash,format=raw,unit=1,file={variables}",
             "-drive", f"if=none,id=disk,{drive}", "-device", "virtio-blk-pci,drive=disk"],
            MENU, UEFI_TIMEOUT))
    return boots


# ---- Making the disks ----------------------------------------------------------------------------

def run_setup(args, machine, autopilot_text, folder):
    autopilot = os.path.join(folder, "setup.autopilot")
    with open(autopilot, "w") as f:
        f.write(autopilot_text)
    environment = dict(os.environ, VELUND_MACHINE=machine, VELUND_AUTOPILOT=autopilot)
    result = subprocess.run([args.setup], env=environment, capture_output=True, timeout=SETUP_TIMEOUT)
    with open(os.path.join(folder, "setup.log"), "wb") as f:
        f.write(result.stdout + b"\n---- standard error ----\n" + result.stderr)
    boxes = [line for line in result.stderr.decode(errors="replace").splitlines() if line.startswith("box: ")]
    if result.returncode != 0 or not boxes or "MB_ICONINFORMATION" not in boxes[-1]:
        raise CheckFailed(f"the setup run failed (exit {result.returncode}, boxes {boxes}); "
                          f"see {folder}/setup.log")


def new_machine(args, folder):
    machine = os.path.join(folder, "machine")
    shutil.rmtree(machine, ignore_errors=True)
    run([args.machine_tool, "new", machine])
    return machine


def made_by_create_and_install(style):
    def make(args, folder):
        machine = new_machine(args, folder)
        run_setup(args, machine, CREATE_AND_INSTALL.format(style=style), folder)
        return os.path.join(machine, "disks", "disk1.img")
    return make


def made_by_hand_in_partition_mode(args, folder):
    """An exFAT data partition and a FAT32 partition after it, on a machine that, as Windows before
    10 version 1703 did, mounts only the first partition of a removable disk."""
    machine = new_machine(args, folder)
    config_path = os.path.join(machine, "machine.json")
    with open(config_path) as f:
        config = json.load(f)
    config.setdefault("mount_policy", {})["removable_first_partition_only"] = True
    with open(config_path, "w") as f:
        json.dump(config, f, indent=2)

    image = os.path.join(machine, "disks", "disk1.img")
    exfat_start, exfat_sectors = 2048, 2 * 1024 * 1024  # 1 GiB
    fat32_start, fat32_sectors = exfat_start + exfat_sectors, 512 * 2048  # 512 MiB
    run(["sfdisk", "--no-reread", "--no-tell-kernel", "-q", image],
        input=f"label: dos\n{exfat_start},{exfat_sectors},7\n{fat32_start},{fat32_sectors},c\n")
    exfat = os.path.join(folder, "exfat.img")
    with open(exfat, "wb") as f:
        f.truncate(exfat_sectors * 512)
    run(["mkfs.exfat", "-L", "DATA", exfat])
    run(["dd", f"if={exfat}", f"of={image}", "bs=1M", f"seek={exfat_start * 512}", "oflag=seek_bytes",
         "conv=notrunc,sparse", "status=none"])
    os.remove(exfat)
    # 4 KiB clusters, as Windows formats a FAT32 partition of this size.
    run(["mkfs.fat", "-F", "32", "-s", "8", "-n", "BOOT", "-h", str(fat32_start), f"--offset={fat32_start}",
         image, str(fat32_sectors // 2)])
    run_setup(args, machine, INSTALL_ONLY, folder)
    return image


DISKS = [
    ("MBR disk, made by Create and Install", "mbr", made_by_create_and_install("MBRItem")),
    ("GPT disk, made by Create and Install", "gpt", made_by_create_and_install("GPTItem")),
    ("exFAT and letterless FAT32 by hand, installed in partition mode", "partition-mode",
     made_by_hand_in_partition_mode),
]


# ---- Offline checks ------------------------------------------------------------------------------

def offline_checks(image):
    run(["sfdisk", "-V", image])
    table = json.loads(run(["sfdisk", "--json", image]))["partitiontable"]
    style = "msdos" if table["label"] == "dos" else "gpt"
    found = {}
    for number, partition in enumerate(table["partitions"], 1):
        offset = partition["start"] * 512
        probe = subprocess.run(["blkid", "-p", "-o", "export", "-O", str(offset), image],
                               capture_output=True, text=True)
        if probe.returncode == 2:  # nothing blkid knows, a BIOS boot partition for one
            continue
        if probe.returncode != 0:
            raise CheckFailed(f"blkid at offset {offset} exited {probe.returncode}: {probe.stderr.strip()}")
        probe = probe.stdout
        fields = dict(line.split("=", 1) for line in probe.splitlines() if "=" in line)
        if fields.get("TYPE") in ("ntfs", "exfat"):
            found["main"] = (number, fields.get("UUID", ""))
        elif fields.get("TYPE") == "vfat":
            found["fat32"] = (number, offset)
    if "main" not in found or "fat32" not in found:
        raise CheckFailed(f"no NTFS/exFAT and FAT32 partition pair in the table: {found}")
    main_number, main_uuid = found["main"]
    _, fat32_offset = found["fat32"]

    environment = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    for path in ("::EFI/Boot/grub.cfg", "::EFI/velund/grub.cfg"):
        config = run(["mtype", "-i", f"{image}@@{fat32_offset}", path], env=environment)
        first = config.split("\n", 1)[0]
        words = first.split()
        if len(words) != 3 or words[0] != "search.fs_uuid" or words[1].lower() != main_uuid.lower():
            raise CheckFailed(f"{path} on the FAT32 partition begins {first!r}; blkid says the main "
                              f"volume is {main_uuid!r}")
    menu = run(["grub-fstest", image, "cat", f"(loop0,{style}{main_number})/KYR/grub/grub.cfg"])
    if 'echo "Velund Orrin"' not in menu:
        raise CheckFailed("grub-fstest reads a KYR/grub/grub.cfg without the menu's title")
    return f"{table['label']} table valid; FAT32 grub.cfg names {main_uuid}, which blkid finds; " \
           f"grub-fstest reads ({style}{main_number})/KYR/grub/grub.cfg"


# ---- Main ----------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--setup", required=True, help="the velund-setup program")
    parser.add_argument("--machine-tool", required=True, help="the velund-machine program")
    parser.add_argument("--work", required=True, help="a folder for the machines and logs")
    parser.add_argument("--only", action="append", help="only these disks (mbr, gpt, partition-mode)")
    args = parser.parse_args()

    missing = [what for what in ("qemu-system-x86_64", "sfdisk", "blkid", "grub-fstest", "mtype",
                                 "mkfs.exfat", "mkfs.fat") if not shutil.which(what)]
    if not os.path.exists(OVMF_X64):
        missing.append(OVMF_X64)
    if missing:
        print(f"boot checks skipped: missing {', '.join(missing)}")
        return 77

    os.makedirs(args.work, exist_ok=True)
    passed = failed = 0
    summary = open(os.path.join(args.work, "boot-checks.log"), "w")

    def say(line):
        print(line, flush=True)
        summary.write(line + "\n")
        summary.flush()

    def report(ok, name, seconds, detail):
        nonlocal passed, failed
        if ok:
            passed += 1
        else:
            failed += 1
        timing = f" ({seconds:.1f} s)" if seconds is not None else ""
        say(f"{'PASS' if ok else 'FAIL'} {name}{timing}{': ' + detail if detail else ''}")

    for title, key, make in DISKS:
        if args.only and key not in args.only:
            continue
        folder = os.path.join(args.work, key)
        os.makedirs(folder, exist_ok=True)
        say(f"== {title}")
        start = time.monotonic()
        try:
            image = make(args, folder)
            report(True, f"{key}: setup", time.monotonic() - start, None)
            report(True, f"{key}: offline checks", None, offline_checks(image))
        except (CheckFailed, subprocess.TimeoutExpired, OSError) as error:
            report(False, f"{key}: setup and offline checks", time.monotonic() - start, str(error))
            continue
        for boot in boots_for(image, folder):
            boot_folder = tempfile.mkdtemp(prefix="boot-", dir=folder)
            seconds, problem = boot.run(boot_folder)
            report(problem is None, f"{key}: {boot.name}", seconds, problem)
            if problem is None:
                shutil.rmtree(boot_folder, ignore_errors=True)

    say(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
