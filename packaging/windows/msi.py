#!/usr/bin/env python3
"""Builds one MSI with wixl, optionally signing everything in it and then itself.

Every file the .wxs names as a <File Source=...> (the program, the information plug-in, whatever the
installer ships) is copied into a staging folder first; with a certificate, every Windows program or
library among them (a file that starts with "MZ") is signed there with osslsigncode, wixl packs the
staged copies, and the MSI is signed last. The build tree's binaries stay unsigned.

  msi.py --args-file ARGS --output X.msi [--version V]
         [--sign-pkcs12 F.p12 --sign-password-file P [--timestamp URL] | --sign-from-environment]

--sign-from-environment takes the certificate from the environment (what `make package` passes on)
and signs only when SIGN_PKCS12 is set: the password from the file SIGN_PASSWORD_FILE names, or else
from SIGN_PASSWORD, and SIGN_TIMESTAMP. The password reaches osslsigncode through a file only this
user can read, never a command line.

ARGS is written by packaging/windows/RavelinkMsi.cmake: the wixl architecture, the .wxs, the folder
the sources are relative to, and one NAME=VALUE definition per line.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

WIX = "{http://schemas.microsoft.com/wix/2006/wi}"


def read_args(path):
    settings, defines = {}, {}
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if not line.strip():
                continue
            key, _, value = line.partition("=")
            if key in ("wixl", "arch", "wxs", "sources", "cmake", "upgrade_script"):
                settings[key] = value
            else:
                defines[key] = value
    return settings, defines


def shipped_files(wxs, defines):
    """The Source of every File the installer holds, with $(var.NAME) replaced."""
    def expand(text):
        return re.sub(r"\$\(var\.([A-Za-z0-9_]+)\)", lambda m: defines[m.group(1)], text)
    return [expand(element.get("Source")) for element in ElementTree.parse(wxs).iter(WIX + "File")]


def is_pe(path):
    with open(path, "rb") as f:
        return f.read(2) == b"MZ"


def sign(path, args):
    command = ["osslsigncode", "sign", "-pkcs12", args.sign_pkcs12, "-readpass", args.sign_password_file,
               "-h", "sha256", "-n", "ravelink"]
    if args.timestamp:
        command += ["-ts", args.timestamp]
    signed = path + ".signed"
    result = subprocess.run(command + ["-in", path, "-out", signed], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.exit("msi.py: signing %s failed:\n%s" % (path, result.stdout))
    os.replace(signed, path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--args-file", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--version", help="overrides the Version definition")
    parser.add_argument("--sign-pkcs12")
    parser.add_argument("--sign-password-file")
    parser.add_argument("--timestamp", help="RFC 3161 timestamp server")
    parser.add_argument("--sign-from-environment", action="store_true")
    args = parser.parse_args()
    if args.sign_from_environment and os.environ.get("SIGN_PKCS12"):
        args.sign_pkcs12 = os.environ["SIGN_PKCS12"]
        args.timestamp = os.environ.get("SIGN_TIMESTAMP") or None
        if os.environ.get("SIGN_PASSWORD_FILE"):
            args.sign_password_file = os.environ["SIGN_PASSWORD_FILE"]
            if not os.access(args.sign_password_file, os.R_OK):
                sys.exit("msi.py: SIGN_PASSWORD_FILE names %s, which cannot be read"
                         % args.sign_password_file)
            build(args)
            return
        with tempfile.NamedTemporaryFile("w", delete=False) as password:  # mode 0600
            password.write(os.environ.get("SIGN_PASSWORD", ""))
        args.sign_password_file = password.name
        try:
            build(args)
        finally:
            os.remove(password.name)
    else:
        build(args)


def build(args):
    if bool(args.sign_pkcs12) != bool(args.sign_password_file):
        sys.exit("msi.py: --sign-pkcs12 and --sign-password-file go together")

    settings, defines = read_args(args.args_file)
    if args.version:
        defines["Version"] = args.version
    output = os.path.abspath(args.output)
    stage = output + ".stage"
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(stage)
    signed = []
    for source in shipped_files(settings["wxs"], defines):
        staged = os.path.join(stage, source)
        os.makedirs(os.path.dirname(staged), exist_ok=True)
        shutil.copyfile(os.path.join(settings["sources"], source), staged)
        if args.sign_pkcs12 and is_pe(staged):
            sign(staged, args)
            signed.append(source)

    os.makedirs(os.path.dirname(output), exist_ok=True)
    command = [settings["wixl"], "-a", settings["arch"], "-o", output + ".part"]
    for name, value in defines.items():
        command += ["-D", "%s=%s" % (name, value)]
    # wixl resolves sources against the working folder only: the staged copies.
    result = subprocess.run(command + [settings["wxs"]], cwd=stage, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    # wixl warns that Package has no Platform property; -a is what sets the platform.
    output_lines = [l for l in result.stdout.splitlines() if "Platform" not in l]
    if result.returncode != 0:
        sys.exit("msi.py: wixl failed:\n" + "\n".join(output_lines))
    # Before signing: the upgrade row is rewritten so that the other width's MSI of the same version
    # is replaced rather than left registered beside this one.
    result = subprocess.run([settings["cmake"], "-D", "MSI=" + output + ".part", "-D", "WORK=" + stage + ".tables",
                             "-P", settings["upgrade_script"]], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    shutil.rmtree(stage + ".tables", ignore_errors=True)
    if result.returncode != 0:
        sys.exit("msi.py: the upgrade row could not be rewritten:\n" + result.stdout)
    if args.sign_pkcs12:
        sign(output + ".part", args)
        signed.append(os.path.basename(output))
    os.replace(output + ".part", output)
    shutil.rmtree(stage)
    if signed:
        print("signed: " + ", ".join(signed))


if __name__ == "__main__":
    main()
