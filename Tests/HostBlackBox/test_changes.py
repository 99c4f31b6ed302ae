"""The change history, read page by page as the plug-in's scan reads it."""

import pytest

import dicom_samples


@pytest.fixture
def host_with_instances(start_host):
    host = start_host({})
    sample = dicom_samples.sample_by_name("CT_small.dcm")
    study = dicom_samples.generate_uid()
    ids = []
    for i in range(7):
        # Two studies, so that other kinds of change come between the new instances.
        ids.append(host.upload(dicom_samples.restamped(sample, study_uid=study if i < 4 else None))["ID"])
    return host, ids


def read_all(host, limit):
    since, pages, changes = 0, 0, []
    while True:
        page = host.get("/changes?since=%d&limit=%d" % (since, limit)).json()
        pages += 1
        assert len(page["Changes"]) <= limit
        if page["Changes"]:
            assert page["Last"] == page["Changes"][-1]["Seq"]
            assert page["Last"] > since
        changes += page["Changes"]
        if page["Done"]:
            return changes, pages
        assert page["Changes"], "a page that is not done must move forward"
        since = page["Last"]
        assert pages < 200


def new_instance_ids(changes):
    return [c["ID"] for c in changes if c["ChangeType"] == "NewInstance"]


def test_one_page_lists_every_new_instance_in_order(host_with_instances):
    host, ids = host_with_instances
    page = host.get("/changes?since=0").json()   # default limit is large enough here
    assert page["Done"] is True
    assert new_instance_ids(page["Changes"]) == ids
    seqs = [c["Seq"] for c in page["Changes"]]
    assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)
    for change in page["Changes"]:
        if change["ChangeType"] == "NewInstance":
            assert change["Path"] == "/instances/" + change["ID"]
            assert change["Date"]


@pytest.mark.parametrize("limit", [1, 3])
def test_small_pages_give_the_same_history(host_with_instances, limit):
    host, ids = host_with_instances
    whole = host.get("/changes?since=0&limit=1000").json()["Changes"]
    changes, pages = read_all(host, limit)
    assert changes == whole
    assert new_instance_ids(changes) == ids
    assert pages >= len(whole) // limit


def test_since_the_last_change_is_empty_and_done(host_with_instances):
    host, ids = host_with_instances
    last = host.get("/changes?since=0&limit=1000").json()["Last"]
    page = host.get("/changes?since=%d" % last).json()
    assert page["Changes"] == [] and page["Done"] is True
    # "?last" names the newest change alone.
    newest = host.get("/changes?last").json()
    assert newest["Last"] == last and [c["Seq"] for c in newest["Changes"]] == [last]
    # A new upload appears after that point.
    new_id = host.upload(dicom_samples.restamped(dicom_samples.sample_by_name("CT_small.dcm")))["ID"]
    assert new_instance_ids(host.get("/changes?since=%d" % last).json()["Changes"]) == [new_id]


def test_limit_smaller_than_history_is_not_done(host_with_instances):
    host, ids = host_with_instances
    page = host.get("/changes?since=0&limit=2").json()
    assert len(page["Changes"]) == 2
    assert page["Done"] is False
