"""The release packages (tarball and .deb) made by cpack from a built tree: what each holds, with
what modes, what the .deb declares, and that the binary in each runs.

    python3 package_test.py BUILD_DIR SOURCE_DIR VERSION
"""
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

BUILD, SOURCE, VERSION = sys.argv[1:4]
ARCH = os.uname().machine

# contrib/ files from the other parts of the tree, and where they are installed; a tree that
# does not hold one yet is told so, and the rest is still checked.
FROM_CONTRIB = {
    "contrib/config.example.json": "share/tarn-cuda/config.example.json",
    "contrib/config.README.md": "share/tarn-cuda/config.README.md",
    "contrib/systemd/tarn-cuda.service": "lib/systemd/system/tarn-cuda.service",
    "contrib/prometheus/tarn-alerts.yml": "share/tarn-cuda/prometheus/tarn-alerts.yml",
}


def contrib_files(folder, dest):
    """Every file under contrib/FOLDER, as (source path, installed path)."""
    root = os.path.join(SOURCE, "contrib", folder)
    out = []
    for dirpath, _, names in os.walk(root):
        for n in names:
            src = os.path.join(dirpath, n)
            out.append((src, os.path.join(dest, os.path.relpath(src, root))))
    return out


def expected():
    """Installed path -> source file (None for the binary), and the absent contrib files."""
    paths = {"bin/tarn-cuda": None,
             "share/doc/tarn-cuda/README.md": os.path.join(SOURCE, "contrib/README.release.md")}
    absent = []
    for src, dest in FROM_CONTRIB.items():
        if os.path.exists(os.path.join(SOURCE, src)):
            paths[dest] = os.path.join(SOURCE, src)
        else:
            absent.append(src)
    for src, dest in (contrib_files("rigos", "share/tarn-cuda/rigos")
                      + contrib_files("prometheus", "share/tarn-cuda/prometheus")):
        paths[dest] = src
    return paths, absent


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, **kw)


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tarn-package-")
        r = run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", cls.scratch])
        assert r.returncode == 0, "cpack failed:\n" + r.stdout + r.stderr
        # (name, file, list command, extract command, prefix of the installed tree inside)
        tgz = f"tarn-cuda-{VERSION}-linux-{ARCH}"
        deb = f"tarn-cuda_{VERSION}_{'amd64' if ARCH == 'x86_64' else ARCH}.deb"
        cls.packages = [
            ("tarball", tgz + ".tar.gz", ["tar", "-tzf"], ["tar", "-xzf", "{file}", "-C", "{dir}"],
             tgz + "/"),
            (".deb", deb, ["dpkg-deb", "-c"], ["dpkg-deb", "-x", "{file}", "{dir}"], "usr/"),
        ]
        cls.paths, absent = expected()
        for src in absent:
            print(f"not in this tree, so not checked: {src}", file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def extracted(self, name, file, extract):
        out = os.path.join(self.scratch, "x-" + name.strip("."))
        if not os.path.isdir(out):
            os.makedirs(out)
            argv = [a.format(file=os.path.join(self.scratch, file), dir=out) for a in extract]
            r = run(argv)
            self.assertEqual(r.returncode, 0, r.stderr)
        return out

    def test_each_package_lists_every_installed_file(self):
        for name, file, listing, _, prefix in self.packages:
            with self.subTest(package=name):
                r = run(listing + [os.path.join(self.scratch, file)])
                self.assertEqual(r.returncode, 0, r.stderr)
                # dpkg-deb -c prints ls-style lines ending in "./usr/bin/tarn-cuda".
                listed = {line.split()[-1].removeprefix("./") for line in r.stdout.splitlines()}
                missing = sorted(p for p in self.paths if prefix + p not in listed)
                self.assertEqual(missing, [], f"{file} lacks these")
                # An operator's config under /etc is theirs: no package may ship one.
                self.assertEqual([p for p in listed if p.startswith(("etc/", prefix + "etc/"))], [])

    def test_files_keep_their_content_and_scripts_stay_executable(self):
        for name, file, _, extract, prefix in self.packages:
            root = os.path.join(self.extracted(name, file, extract), prefix)
            for path, src in self.paths.items():
                if src is None:
                    continue
                with self.subTest(package=name, path=path):
                    with open(os.path.join(root, path), "rb") as got, open(src, "rb") as want:
                        self.assertEqual(got.read(), want.read())
                    mode = os.stat(os.path.join(root, path)).st_mode
                    self.assertEqual(bool(mode & stat.S_IXUSR), os.access(src, os.X_OK))

    def test_the_binary_in_each_package_runs(self):
        for name, file, _, extract, prefix in self.packages:
            with self.subTest(package=name):
                binary = os.path.join(self.extracted(name, file, extract), prefix, "bin/tarn-cuda")
                r = run([binary, "--version"])
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(r.stdout.startswith(f"tarn-cuda {VERSION} "), r.stdout)

    def test_deb_control_fields(self):
        deb = os.path.join(self.scratch, self.packages[1][1])
        fields = {}
        for field in ("Package", "Version", "Architecture", "Maintainer", "Depends", "Description"):
            r = run(["dpkg-deb", "-f", deb, field])
            self.assertEqual(r.returncode, 0, r.stderr)
            fields[field] = r.stdout.strip()
        self.assertEqual(fields["Package"], "tarn-cuda")
        self.assertEqual(fields["Version"], VERSION)
        self.assertEqual(fields["Architecture"], "amd64" if ARCH == "x86_64" else ARCH)
        self.assertTrue(fields["Maintainer"] and fields["Description"], fields)
        depends = [d.split()[0] for d in fields["Depends"].split(",")]
        needs = ["libc6", "libssl3"]
        # The API is left out of a build without libmicrohttpd, and then so is the dependency.
        if "libmicrohttpd.so.12" in run(["ldd", os.path.join(BUILD, "tarn-cuda")]).stdout:
            needs.append("libmicrohttpd12")
        for lib in needs:
            self.assertIn(lib, depends, fields["Depends"])

    def test_rig_os_manifests_name_this_version(self):
        # The rig shows these versions; a release that forgets to bump them misreports itself.
        for conf, key in (("rigos/hiveos/tarn-cuda/h-manifest.conf", "CUSTOM_VERSION"),
                          ("rigos/external/mmp-external.conf", "EXTERNAL_VERSION")):
            with self.subTest(conf=conf):
                with open(os.path.join(SOURCE, "contrib", conf)) as f:
                    values = dict(line.strip().split("=", 1) for line in f
                                  if "=" in line and not line.startswith("#"))
                self.assertEqual(values[key], VERSION)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
