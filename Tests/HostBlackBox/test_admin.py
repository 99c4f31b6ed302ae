"""Running the binary: command line, administration of global properties,
configuration errors, plug-in loading and stopping."""

import json
import os
import shutil
import signal
import subprocess

import pytest

from conftest import HostProcess, clean_environment, free_port, run_admin, running_host


def write_config(folder, config):
    path = os.path.join(str(folder), "config.json")
    with open(path, "w") as f:
        json.dump(dict({"DicomPort": 0}, **config), f)   # no DICOM server unless asked for
    return path


def test_version_and_help(host_binary):
    version = run_admin(host_binary, "--version")
    assert version.returncode == 0 and version.stdout.strip()
    usage = run_admin(host_binary, "--help")
    assert usage.returncode == 0
    assert b"--get-global-property" in usage.stdout + usage.stderr


def test_global_property_round_trip_between_command_line_and_plugin(host_binary, test_plugin, tmp_path):
    storage = tmp_path / "storage"
    config = {"StorageDirectory": str(storage), "Plugins": [test_plugin], "HttpPort": free_port()}
    config_path = write_config(tmp_path, config)
    state = '{"ActiveServer": {"Url": "http://192.0.2.1/"}, "Note": "seeded \u00e9"}'
    state_file = tmp_path / "state.json"
    state_file.write_text(state, encoding="utf-8")

    seeded = run_admin(host_binary, "--set-global-property", 5467, state_file, config_path)
    assert seeded.returncode == 0, seeded.stderr
    printed = run_admin(host_binary, "--get-global-property", 5467, config_path)
    assert printed.returncode == 0, printed.stderr
    assert printed.stdout.decode("utf-8").rstrip("\n") == state

    # The running host's plug-in sees the seeded state and can replace it.
    with running_host(host_binary, tmp_path / "run", config) as host:
        assert host.get("/testplugin/global-property/5467").json() == {"Code": 0, "Value": state}
        assert host.put("/testplugin/global-property/5467", data=b'{"Saved": true}').json()["Code"] == 0

    printed = run_admin(host_binary, "--get-global-property", 5467, config_path)
    assert printed.stdout.decode().rstrip("\n") == '{"Saved": true}'


def test_setting_a_property_from_a_missing_file_fails(host_binary, tmp_path):
    config_path = write_config(tmp_path, {"StorageDirectory": str(tmp_path / "storage")})
    result = run_admin(host_binary, "--set-global-property", 5467, tmp_path / "absent.json", config_path)
    assert result.returncode != 0
    assert run_admin(host_binary, "--get-global-property", 5467, config_path).stdout == b""


def test_a_property_never_stored_prints_nothing(host_binary, tmp_path):
    config_path = write_config(tmp_path, {"StorageDirectory": str(tmp_path / "storage")})
    printed = run_admin(host_binary, "--get-global-property", 4242, config_path)
    assert printed.stdout == b""
    if printed.returncode != 0:
        assert b"4242" in printed.stderr   # says which property is missing


@pytest.mark.parametrize("config,named", [
    ({"HttpPort": "not a number"}, "HttpPort"),
    ({"Plugins": "not-an-array"}, "Plugins"),
    ({"AuthenticationEnabled": "yes"}, "AuthenticationEnabled"),
    ({"DicomWeb": {"Enable": True, "Root": 7}}, "Root"),
    ({"DicomAet": ""}, "An application entity title (AET) cannot be empty or be longer than 16 characters"),
    ({"DicomAet": "A" * 17}, "An application entity title (AET) cannot be empty or be longer than 16 characters"),
    ({"DicomTimeout": 0}, "DicomTimeout"),
], ids=["port", "plugins", "authentication", "dicomweb-root", "empty-aet", "long-aet", "no-dicom-timeout"])
def test_a_wrongly_typed_option_is_a_clear_start_up_error(host_binary, tmp_path, config, named):
    config = dict(config, StorageDirectory=str(tmp_path / "storage"))
    result = subprocess.run([host_binary, write_config(tmp_path, config)], capture_output=True,
                            timeout=30, cwd=str(tmp_path), env=clean_environment())
    assert result.returncode != 0
    assert named.encode() in result.stderr


def test_commented_configuration_with_unknown_keys_and_relative_storage(host_binary, tmp_path):
    port = free_port()
    raw = ('{\n  // a comment\n  "HttpPort": %d, /* another */\n  "SomethingUnknown": [1, 2],\n'
           '  "DicomPort": 0,\n  "StorageDirectory": "relative-storage"\n}\n' % port)
    host = HostProcess(host_binary, tmp_path, {"HttpPort": port}, raw_config=raw).start()
    try:
        import dicom_samples
        host.upload(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm")))
        assert os.path.isdir(tmp_path / "relative-storage")
        assert any(files for _, _, files in os.walk(tmp_path / "relative-storage"))
    finally:
        assert host.stop(signal.SIGINT) == 0   # SIGINT stops cleanly too


def test_a_plugin_that_refuses_to_start_makes_the_host_exit_non_zero(host_binary, test_plugin, tmp_path):
    config_path = write_config(tmp_path, {"Plugins": [test_plugin], "HttpPort": free_port(),
                                          "StorageDirectory": str(tmp_path / "storage")})
    result = subprocess.run([host_binary, config_path], capture_output=True, timeout=30, cwd=str(tmp_path),
                            env=clean_environment({"TEST_PLUGIN_REFUSE": "1"}))
    assert result.returncode != 0
    assert b"Test plugin: refusing to start as asked" in result.stderr


def test_a_missing_plugin_file_makes_the_host_exit_non_zero(host_binary, tmp_path):
    config_path = write_config(tmp_path, {"Plugins": [str(tmp_path / "absent.so")], "HttpPort": free_port(),
                                          "StorageDirectory": str(tmp_path / "storage")})
    result = subprocess.run([host_binary, config_path], capture_output=True, timeout=30,
                            cwd=str(tmp_path), env=clean_environment())
    assert result.returncode != 0


def test_a_plugin_folder_loads_its_shared_libraries(host_binary, test_plugin, tmp_path):
    folder = tmp_path / "plugins"
    folder.mkdir()
    shutil.copy(test_plugin, folder / "libtest.so")
    (folder / "notes.txt").write_text("not a library")
    with running_host(host_binary, tmp_path / "run", {"Plugins": [str(folder)]}) as host:
        assert "kestrum-test-plugin" in host.get("/plugins").json()
        assert host.get("/testplugin/order/specific").text == "specific"


def test_stored_instances_survive_a_restart(host_binary, tmp_path):
    import dicom_samples
    storage = str(tmp_path / "storage")
    data = dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm"))
    with running_host(host_binary, tmp_path / "first", {"StorageDirectory": storage}) as host:
        instance_id = host.upload(data)["ID"]
        host.put("/instances/%s/metadata/4455" % instance_id, data=b"kept")
    with running_host(host_binary, tmp_path / "second", {"StorageDirectory": storage}) as host:
        assert host.get("/instances/%s/file" % instance_id).content == data
        assert host.get("/instances/%s/metadata/4455" % instance_id).content == b"kept"
        assert host.upload(data)["Status"] == "AlreadyStored"
        changes = host.get("/changes?since=0").json()["Changes"]
        assert [c["ID"] for c in changes if c["ChangeType"] == "NewInstance"] == [instance_id]
