import json
import os
import pathlib

import pytest


@pytest.fixture(scope="session")
def fixture_dir():
    root = os.environ.get("VELMORA_FIXTURE_DIR")
    if not root:
        pytest.skip("VELMORA_FIXTURE_DIR is not set; build the fixtures first")
    return pathlib.Path(root).resolve()


@pytest.fixture
def model_dir(tmp_path, fixture_dir):
    """Builds a model directory whose index names fixture bundles.

    Call it with {processor: bundle path relative to the fixture dir}; bundles
    are linked in, so the fixture directory itself is never written.
    """

    def build(bundles, version="1.14.0", lang="en"):
        index_dir = tmp_path / "models" / version / lang
        index_dir.mkdir(parents=True, exist_ok=True)
        entries = []
        for processor, relative in bundles.items():
            source = fixture_dir / relative
            if not source.is_dir():
                pytest.skip(f"fixture bundle missing: {source}")
            (index_dir / processor).symlink_to(source, target_is_directory=True)
            entries.append({"processor": processor, "package": "default", "path": processor})
        index = {"format": "velmora-model-index", "format_version": 1,
                 "resources_version": version, "language": lang, "bundles": entries}
        (index_dir / "index.json").write_text(json.dumps(index), encoding="utf-8")
        return tmp_path / "models"

    return build
