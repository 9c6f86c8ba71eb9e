"""The native steps' thread budget: a limit a batch can set, the same result on one thread as on
many, and clear refusals."""

import functools
import os

import numpy as np
import pytest

from vantrel_clean import _steps


@pytest.fixture
def restore_limit():
    yield
    _steps.set_thread_limit(0)


def test_steps_give_the_same_bytes_on_one_thread_as_on_many(restore_limit):
    # Large enough to be split into row ranges (a million samples a thread).
    rng = np.random.default_rng(7)
    picture = rng.integers(0, 256, (1100, 1300, 3), np.uint8)
    indexes = rng.choice(np.array([0, 1, 2, 3, 4, 5], np.uint8), (1100, 1300))
    results = []
    for limit in (1, 0, 5):
        _steps.set_thread_limit(limit)
        evened = _steps.even_background(picture, 1300, 1100, 2.5)
        voted = _steps.vote_inks(indexes, 1300, 1100, 2)
        results.append((bytes(evened), voted))
    assert results[0] == results[1] == results[2]


def test_thread_limit_reports_what_was_set_and_falls_back_to_the_cores(restore_limit):
    _steps.set_thread_limit(3)
    assert _steps.thread_limit() == 3
    _steps.set_thread_limit(0)
    assert 1 <= _steps.thread_limit() <= len(os.sched_getaffinity(0))


@pytest.mark.parametrize("limit, error", [(-1, ValueError), (1025, ValueError), ("2", TypeError), (2.0, TypeError)])
def test_thread_limit_refuses_what_is_not_a_count(restore_limit, limit, error):
    _steps.set_thread_limit(2)
    with pytest.raises(error):
        _steps.set_thread_limit(limit)
    assert _steps.thread_limit() == 2


def test_batch_workers_each_take_their_share_of_the_cores():
    from vantrel_clean.cli import start_worker
    from vantrel_clean.workers import WorkerPool

    pool = WorkerPool(2, initializer=functools.partial(start_worker, 1))
    try:
        assert pool.submit(_steps.thread_limit).result(timeout=120) == 1
    finally:
        pool.shutdown()
