import sys

import pytest


def pytest_addoption(parser):
    parser.addoption("--run-slow", action="store_true", help="run tests that need several GiB of memory")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: needs several GiB of memory and minutes; run with --run-slow")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--run-slow"):
        return
    skip = pytest.mark.skip(reason="needs --run-slow")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="module")
def threads_for_small_inputs():
    """qarn.convert keeps small inputs on one thread; property tests, whose
    inputs are all small, use the threads they ask for."""
    module = sys.modules["qarn.convert"]
    threshold, module.SMALLEST_PARALLEL_INPUT = module.SMALLEST_PARALLEL_INPUT, 0
    yield
    module.SMALLEST_PARALLEL_INPUT = threshold


@pytest.fixture(scope="module")
def client():
    """A dask.distributed cluster of a local scheduler and two worker
    processes of one thread each, for the tests of one module."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        yield client
