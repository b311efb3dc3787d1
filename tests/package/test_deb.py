"""The Debian package from `make deb`: its files, control fields, lintian, what it installs
into a scratch root, and its maintainer scripts. Builds the package once (about a minute).

    test_deb.py [--reuse]     (as root; --reuse takes build-deb/ as it is)

systemd is not PID 1 on the machines this runs on: the maintainer scripts are checked for
dh_installsystemd's snippets, and the installed service is watched under a systemd that runs
as PID 1 of a throw-away container (systemd-nspawn on an overlay of this machine's root).
"""

import glob
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import checks  # noqa: E402

OUT = os.path.join(checks.REPO, "build-deb")
DEB = None

EXPECTED_FILES = {
    "/usr/sbin/ftbridge", "/usr/bin/ftbridge-ctl", "/usr/bin/ftrecord",
    "/lib/systemd/system/ftbridge.service", "/lib/systemd/system/ftbridge.socket",
    "/lib/udev/rules.d/60-ftbridge.rules", "/usr/libexec/ftbridge-hotplug",
    "/usr/share/man/man8/ftbridge.8.gz", "/usr/share/man/man1/ftbridge-ctl.1.gz",
    "/usr/share/man/man1/ftrecord.1.gz",
    "/usr/share/bash-completion/completions/ftbridge-ctl",
    "/usr/share/doc/ftbridge/README.md", "/usr/share/doc/ftbridge/copyright",
    "/usr/share/doc/ftbridge/changelog.gz",
    "/usr/share/doc/ftbridge/examples/restrict-to-localhost.conf",
} | {"/usr/share/doc/ftbridge/docs/" + os.path.relpath(p, os.path.join(checks.REPO, "docs"))
     for p in glob.glob(os.path.join(checks.REPO, "docs", "*.md"))
     + glob.glob(os.path.join(checks.REPO, "docs", "prometheus", "*.yml"))}


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, check=True, **kw).stdout


def package_files(deb):
    """Regular files and links of the package, as absolute paths."""
    files = set()
    for line in run("dpkg-deb", "-c", deb).splitlines():
        if line.startswith("d"):
            continue
        name = line.split(None, 5)[5].split(" -> ")[0]
        files.add(name[1:])  # "./usr/bin/x" -> "/usr/bin/x"
    return files


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="ftbridge-deb-")
        run("dpkg-deb", "-x", DEB, cls.root)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["rm", "-rf", cls.root])

    def test_files_in_their_places_programs_stripped(self):
        files = package_files(DEB)
        self.assertEqual(files - EXPECTED_FILES, set(), "files not expected")
        self.assertEqual(EXPECTED_FILES - files, set(), "files missing")
        for prog in ("sbin/ftbridge", "bin/ftbridge-ctl", "bin/ftrecord"):
            sections = run("readelf", "-S", "-W", os.path.join(self.root, "usr", prog))
            self.assertNotIn(".debug_info", sections, prog)
            self.assertNotIn(".symtab", sections, prog)
        dbgsym = glob.glob(os.path.join(OUT, "ftbridge-dbgsym_*.deb"))
        self.assertEqual(len(dbgsym), 1)
        self.assertTrue(any("/usr/lib/debug/.build-id/" in f for f in package_files(dbgsym[0])))

    def test_control_fields(self):
        version = checks.project_version()
        self.assertEqual(run("dpkg-deb", "-f", DEB, "Package").strip(), "ftbridge")
        self.assertEqual(run("dpkg-deb", "-f", DEB, "Version").strip(), version)
        self.assertEqual(os.path.basename(DEB),
                         "ftbridge_%s_%s.deb" % (version, run("dpkg", "--print-architecture").strip()))
        # debian/changelog is the version's one source: the programs show the package's.
        changelog = run("dpkg-parsechangelog", "-S", "Version",
                        "-l", os.path.join(checks.REPO, "debian", "changelog")).strip()
        self.assertEqual(changelog, version)
        for prog in ("sbin/ftbridge", "bin/ftbridge-ctl", "bin/ftrecord"):
            out = run(os.path.join(self.root, "usr", prog), "--version")
            self.assertEqual(out, "%s %s\n" % (os.path.basename(prog), version), prog)
        self.assertIn("\nLicense: Expat\n", run("cat", os.path.join(
            self.root, "usr/share/doc/ftbridge/copyright")))
        # The package build ran the unit tests.
        with open(os.path.join(OUT, "build.log")) as f:
            self.assertRegex(f.read(), r"100% tests passed, 0 tests failed out of [1-9]")
        # From the shared-library scan: the C library and xmlrpc-c's, with versions.
        depends = run("dpkg-deb", "-f", DEB, "Depends")
        for lib in ("libc6 (>=", "libstdc++6 (>=", "libxmlrpc-c++8v5 (>="):
            self.assertIn(lib, depends)

    def test_lintian_reports_no_error(self):
        changes = glob.glob(os.path.join(OUT, "ftbridge_*.changes"))
        self.assertEqual(len(changes), 1)
        r = subprocess.run(["lintian", "--fail-on", "error", "--display-info", changes[0]],
                           capture_output=True, text=True)
        print("\nlintian:\n" + r.stdout, file=sys.stderr)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotIn("\nE: ", "\n" + r.stdout)

    def test_man_pages_render_without_warnings(self):
        for page in sorted(glob.glob(os.path.join(self.root, "usr/share/man/man*/*.gz"))):
            with self.subTest(page=os.path.basename(page)):
                text, warnings = checks.render_man(page)
                self.assertEqual(warnings, "")
                self.assertIn("ftbridge " + checks.project_version(), text)
                if "ftbridge.8" in page:  # the paths are the package's
                    self.assertIn("/lib/systemd/system/ftbridge.service", text)
                    self.assertIn("/usr/share/doc/ftbridge/examples/", text)

    def test_unit_verifies_and_is_hardened(self):
        unit = os.path.join(self.root, "lib/systemd/system/ftbridge.service")
        self.assertEqual(checks.unit_setting(unit, "ExecStart"), "/usr/sbin/ftbridge")
        self.assertEqual(checks.verify_unit(unit, os.path.join(self.root, "usr/sbin/ftbridge"),
                                            os.path.join(self.root, "usr/share/man")), "")
        score, report = checks.security_exposure(unit)
        print("\n" + report.strip().splitlines()[-1], file=sys.stderr)
        self.assertLessEqual(score, 4.0)

    def test_dpkg_places_every_file_in_a_scratch_root(self):
        with tempfile.TemporaryDirectory() as root:
            admin = os.path.join(root, "var/lib/dpkg")
            for d in ("info", "updates", "triggers"):
                os.makedirs(os.path.join(admin, d))
            open(os.path.join(admin, "status"), "w").close()
            # Unpack only: configuring would run the postinst, whose systemd calls need the
            # target's own tools.
            run("dpkg", "--root=" + root, "--force-depends", "--unpack", DEB)
            listed = set(run("dpkg", "--root=" + root, "-L", "ftbridge").split())
            for f in package_files(DEB):
                with self.subTest(file=f):
                    self.assertTrue(os.path.lexists(root + f))
                    self.assertIn(f, listed)
            self.assertIn("ftbridge", run("dpkg", "--root=" + root, "-l", "ftbridge"))

    def test_maintainer_scripts_enable_start_stop_and_purge_the_service(self):
        with tempfile.TemporaryDirectory() as ctl:
            run("dpkg-deb", "-e", DEB, ctl)

            def script(name):
                with open(os.path.join(ctl, name)) as f:
                    return f.read()

            postinst, prerm, postrm = script("postinst"), script("prerm"), script("postrm")
        for text in (postinst, prerm, postrm):
            self.assertIn("# Automatically added by dh_installsystemd", text)
        self.assertIn("deb-systemd-helper enable 'ftbridge.service'", postinst)
        self.assertIn("deb-systemd-invoke $_dh_action 'ftbridge.service'", postinst)
        self.assertIn("_dh_action=start", postinst)
        self.assertIn("deb-systemd-invoke stop 'ftbridge.service'", prerm)
        self.assertIn("deb-systemd-helper purge 'ftbridge.service'", postrm)
        self.assertIn("udevadm trigger --action=add --subsystem-match=usb-serial", postinst)
        self.assertIn("rm -rf /var/lib/private/ftbridge", postrm)
        self.assertIn("systemctl reset-failed ftbridge.service", postrm)


def make_upgrade(deb, path):
    """The same package under a higher version, for an upgrade."""
    with tempfile.TemporaryDirectory() as tree:
        run("dpkg-deb", "-R", deb, tree)
        control = os.path.join(tree, "DEBIAN", "control")
        with open(control) as f:
            text = f.read()
        with open(control, "w") as f:
            f.write(text.replace("\nVersion: %s\n" % checks.project_version(),
                                 "\nVersion: %s+1\n" % checks.project_version()))
        run("dpkg-deb", "--root-owner-group", "-b", tree, path)


def boot_container(out):
    """Boots systemd in a container on a throw-away overlay of this machine's root, runs
    live_service.sh in it and returns its results, or None when no container can be booted
    here (no systemd-nspawn)."""
    if subprocess.run(["which", "systemd-nspawn"], capture_output=True).returncode != 0:
        return None
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "live_service.sh")
    unit = ("[Unit]\nAfter=basic.target\n[Service]\nType=simple\n"
            "ExecStart=/bin/bash /out/live_service.sh\n")
    subprocess.run(["cp", script, out], check=True)
    make_upgrade(DEB, os.path.join(out, "upgrade.deb"))
    boot = r"""
mount --make-rprivate /
t=$(mktemp -d); mount -t tmpfs tmpfs $t; mkdir $t/upper $t/work $t/root
mount -t overlay overlay -o lowerdir=/,upperdir=$t/upper,workdir=$t/work $t/root
rm -f $t/root/usr/sbin/policy-rc.d   # a container image's "start no service" policy
printf '%s' "$UNIT" > $t/root/etc/systemd/system/live.service
mkdir -p $t/root/out $t/root/deb $t/root/src
timeout 300 systemd-nspawn -q -D $t/root --private-network --register=no --keep-unit     --console=pipe --bind="$OUT":/out --bind-ro="$DEBS":/deb --bind-ro="$SRC":/src     -b systemd.unit=live.service
"""
    env = dict(os.environ, UNIT=unit, OUT=out, DEBS=os.path.dirname(DEB), SRC=checks.REPO)
    r = subprocess.run(["unshare", "--mount", "--fork", "sh", "-euc", boot], env=env,
                       capture_output=True, text=True, timeout=360)
    results = {}
    path = os.path.join(out, "results")
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                k, _, v = line.rstrip("\n").partition(": ")
                results[k] = v
    results["_boot"] = r.stdout + r.stderr
    return results


class LiveService(unittest.TestCase):
    """The package under a real systemd (PID 1 of a container on this machine): installed,
    enabled and started; restarted without end; sandboxed as packaged yet streaming; stopped
    cleanly; limited to local clients by the example drop-in on its socket; stopped on removal. udev does not
    run in a container: the skipped start, hot-plug and purge are the cell's (tests/cell)."""

    def test_installed_service(self):
        with tempfile.TemporaryDirectory() as out:
            r = boot_container(out)
            if r is None:
                self.skipTest("systemd-nspawn is not installed")
            trace = ""
            if os.path.exists(os.path.join(out, "trace.log")):
                with open(os.path.join(out, "trace.log")) as f:
                    trace = f.read()
        detail = "%r\n%s" % (r, trace[-3000:])
        self.assertEqual(r.get("enabled"), "enabled", detail)
        self.assertEqual(r["pty_group"], "dialout 660", detail)
        # A lost controller: restarted, the reason at priority err; streaming again once it
        # is back.
        self.assertRegex(r["lost_controller"], r"^restarted=1 err=[1-9][0-9]*$", detail)
        self.assertEqual(r["controller_back"], "true", detail)
        print("journal lines while the controller was down: %s; streaming again %s s after its return"
              % (r["down_lines"], r["back_after_s"]), file=sys.stderr)
        self.assertEqual((r["restart_sec"], r["running_status"]), ("20s", "0"), detail)
        self.assertEqual(r["followed_rate"], "500.000", detail)
        self.assertIn("running: yes", r["status"], detail)
        # The socket is systemd's, handed over.
        self.assertEqual(r["socket"], "active 0.0.0.0:20202 (Stream)", detail)
        self.assertEqual(r["set_bias"], "0", detail)
        self.assertRegex(r["user"], r"^ftbridge$", detail)
        self.assertIn("dialout", r["groups"].split(","), detail)
        self.assertEqual((r["CapEff"], r["NoNewPrivs"], r["Seccomp"]),
                         ("0000000000000000", "1", "2"), detail)
        self.assertEqual(r["log_first"], "Start log file", detail)
        self.assertEqual(r["state_dir"], "private/ftbridge", detail)
        self.assertEqual(r["stopped"], "inactive result=success status=2", detail)
        self.assertEqual(r["log_last"], "Interrupt signal (2) received.", detail)
        self.assertRegex(r["packages"], r"^[1-9][0-9]* packages$", detail)
        self.assertEqual(r["local_client"], "0", detail)
        self.assertEqual(r["listen"], "127.0.0.1:20202 (Stream)", detail)
        version = checks.project_version()
        self.assertEqual(r["upgraded"], "%s+1 enabled active" % version, detail)
        self.assertIn("qrm_debug_output.txt ", r["upgrade_logs"], detail)
        self.assertIn("qrm_debug_output.txt.1 ", r["upgrade_logs"], detail)
        self.assertEqual(r["removed"], "inactive load=not-found status=2", detail)
        self.assertIn("qrm_debug_output.txt", r["removed_logs"], detail)
        self.assertEqual(r["sensor_link"], "gone", detail)


if __name__ == "__main__":
    args = sys.argv[1:]
    reuse = "--reuse" in args
    args = [a for a in args if a != "--reuse"]
    if not reuse:
        subprocess.run(["make", "-C", checks.REPO, "deb"], check=True)
    debs = [d for d in glob.glob(os.path.join(OUT, "ftbridge_*.deb")) if "dbgsym" not in d]
    if len(debs) != 1:
        raise SystemExit("expected one package in %s, found %s" % (OUT, debs))
    DEB = debs[0]
    unittest.main(argv=[sys.argv[0]] + args)
