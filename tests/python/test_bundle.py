import gc
import hashlib
import json
import os
import pathlib
import shutil

import pytest

from _velmora import ModelBundle, ModelBundleError, TensorDescriptor


@pytest.fixture(scope="module")
def harness_bundle():
    root = os.environ.get("VELMORA_FIXTURE_DIR")
    if not root:
        pytest.skip("VELMORA_FIXTURE_DIR is not set; build the fixtures first")
    bundle = pathlib.Path(root) / "harness" / "bundle"
    if not (bundle / "manifest.json").is_file():
        pytest.skip(f"fixture bundle missing: {bundle}")
    return bundle


def manifest_of(directory):
    return json.loads((directory / "manifest.json").read_text(encoding="utf-8"))


def test_identity_and_path_forms(harness_bundle):
    manifest = manifest_of(harness_bundle)
    for form in (harness_bundle, str(harness_bundle), os.fsencode(harness_bundle)):
        bundle = ModelBundle(form)
        assert isinstance(bundle.path, pathlib.Path)
        assert bundle.path == harness_bundle.absolute()
        assert bundle.checksums_verified is True  # verification is the default
    assert (bundle.language, bundle.processor, bundle.package) == ("en", "demo", "default")
    assert bundle.tavrel_version == manifest["tavrel_version"]
    assert bundle.resources_version == manifest["resources_version"]
    assert bundle.tensor_file_size == (harness_bundle / "tensors.bin").stat().st_size

    unverified = ModelBundle(path=harness_bundle, verify_checksums=False)
    assert unverified.checksums_verified is False
    with pytest.raises(TypeError):
        ModelBundle(harness_bundle, 1)
    with pytest.raises(TypeError):
        ModelBundle(None)


def test_tensor_descriptors_match_manifest_and_data(harness_bundle):
    bundle = ModelBundle(harness_bundle)
    names = bundle.tensor_names
    assert names == ["ids", "weight", "flags"]
    names.append("changed")
    assert bundle.tensor_names == ["ids", "weight", "flags"]

    data = (harness_bundle / "tensors.bin").read_bytes()
    for record in manifest_of(harness_bundle)["tensors"]:
        descriptor = bundle.tensor(record["name"])
        assert isinstance(descriptor, TensorDescriptor)
        assert descriptor.name == record["name"]
        assert descriptor.dtype == record["dtype"]
        assert descriptor.shape == record["shape"]
        assert (descriptor.offset, descriptor.nbytes) == (record["offset"], record["nbytes"])
        piece = data[descriptor.offset:descriptor.offset + descriptor.nbytes]
        assert descriptor.sha256 == hashlib.sha256(piece).hexdigest()
    weight = bundle.tensor("weight")
    assert (weight.dtype, weight.shape, weight.nbytes) == ("float32", [3, 4], 48)
    weight.shape.append(9)
    assert weight.shape == [3, 4]

    with pytest.raises(ModelBundleError) as info:
        bundle.tensor("x")
    assert str(info.value) == "tensor is not present in bundle: 'x'"
    with pytest.raises(TypeError):
        bundle.tensor(name="weight")
    with pytest.raises(TypeError):
        TensorDescriptor()

    descriptor = bundle.tensor("flags")
    del bundle
    gc.collect()
    assert (descriptor.name, descriptor.dtype, descriptor.shape) == ("flags", "bool", [3])


def test_bundle_errors_translate(harness_bundle, tmp_path):
    missing = tmp_path / "absent"
    with pytest.raises(ModelBundleError) as info:
        ModelBundle(missing)
    assert type(info.value) is ModelBundleError
    assert str(info.value) == f"model bundle is not a directory: {missing}"
    assert isinstance(info.value, RuntimeError)

    broken = tmp_path / "broken"
    shutil.copytree(harness_bundle, broken)
    (broken / "manifest.json").write_text("{", encoding="utf-8")
    with pytest.raises(ModelBundleError) as info:
        ModelBundle(broken)
    assert type(info.value) is ModelBundleError


def test_corrupted_tensor_data_is_caught_only_when_verifying(harness_bundle, tmp_path):
    copy = tmp_path / "bundle"
    shutil.copytree(harness_bundle, copy)
    weight = next(t for t in manifest_of(copy)["tensors"] if t["name"] == "weight")
    data = bytearray((copy / "tensors.bin").read_bytes())
    data[weight["offset"] + 5] ^= 0x40
    (copy / "tensors.bin").write_bytes(bytes(data))

    with pytest.raises(ModelBundleError) as info:
        ModelBundle(copy)
    assert str(info.value) == "tensor file checksum mismatch"
    # Sizes and layout are unchanged, so the unverified bundle still opens.
    bundle = ModelBundle(copy, False)
    assert bundle.checksums_verified is False
    assert bundle.tensor("weight").sha256 == weight["sha256"]
