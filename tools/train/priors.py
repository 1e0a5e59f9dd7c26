"""Fits the 392 priors of a model to the decisions its coder state meets first in every tile.

A prior only sets where an adaptive context starts, so what counts is a context's first few
hundred uses in each tile. For every bit context (the sign and run bits) the prior is chosen from
a grid by replaying the coder's exact two-rate adaptation over those decisions; for every token
model the cumulative table is the tokens' frequencies weighted by how much the prior still counts
when each is coded, kept only where replaying the token adaptation shows it beats the uniform
table. Each volume weighs by its training weight per sample, since a prior's gain is a fixed
number of bits per tile that matters most for small volumes."""

import numpy as np

from trace import RUN, SIGN, TOKEN

TOKENS = 16
TOKEN_MODELS = 20
SIGN_CONTEXTS = 68
RUN_CONTEXTS = 4
ONE = 32768
SYMBOL_SCALE = 32752
BIT_GRID = np.unique(np.concatenate([np.linspace(256, 32512, 127), [16384]])).astype(np.int64)


def sequences(events, kind: int, context: int, is_3d: bool):
    """The decisions of one context, one row per tile (padded), with a validity mask."""
    chosen = events[(events["kind"] == kind) & (events["context"] == context) & ((events["state"] & 1) == is_3d)]
    if len(chosen) == 0:
        return None
    states, starts, counts = np.unique(chosen["state"], return_index=True, return_counts=True)
    order = np.argsort(chosen["state"], kind="stable")
    values = chosen["value"][order].astype(np.int64)
    matrix = np.zeros((len(states), counts.max()), dtype=np.int64)
    mask = np.arange(counts.max())[None, :] < counts[:, None]
    matrix[mask] = values
    return matrix, mask


def bit_costs(matrix: np.ndarray, mask: np.ndarray, candidates: np.ndarray) -> np.ndarray:
    """Bits spent on the decisions (rows: tiles) for every candidate prior: (tiles, candidates)."""
    fast = np.broadcast_to(candidates * 512, (len(matrix), len(candidates))).copy()
    slow = fast.copy()
    cost = np.zeros(fast.shape)
    for n in range(matrix.shape[1]):
        p = np.clip((fast + slow) >> 10, 1, ONE - 1)
        bit = matrix[:, n : n + 1]
        live = mask[:, n : n + 1]
        cost += live * -np.log2(np.where(bit == 0, p, ONE - p) / ONE)
        fast = np.where(live, np.where(bit == 0, fast + ((2**24 - fast) >> 4), fast - (fast >> 4)), fast)
        slow = np.where(live, np.where(bit == 0, slow + ((2**24 - slow) >> 7), slow - (slow >> 7)), slow)
    return cost


def token_cost(matrix: np.ndarray, mask: np.ndarray, cdf: np.ndarray) -> np.ndarray:
    """Bits spent on the tokens (rows: tiles) starting from the table `cdf`, per tile."""
    tiles = len(matrix)
    table = np.broadcast_to(cdf.astype(np.int64), (tiles, TOKENS)).copy()
    k = np.arange(TOKENS)
    cost = np.zeros(tiles)
    for n in range(matrix.shape[1]):
        bounds = ((table * SYMBOL_SCALE) >> 15) + k
        upper = np.concatenate([bounds[:, 1:], np.full((tiles, 1), ONE)], axis=1)
        token = matrix[:, n]
        width = upper[np.arange(tiles), token] - bounds[np.arange(tiles), token]
        live = mask[:, n]
        cost += live * -np.log2(width / ONE)
        rate = 5 + (n >= 16) + (n >= 32)
        below = token[:, None] < k[None, :]
        updated = np.where(below, table + ((ONE - table) >> rate), table - (table >> rate))
        updated[:, 0] = 0
        table = np.where(live[:, None], updated, table)
    return cost


def prior_influence(length: int) -> np.ndarray:
    """How much of the prior is left in a token model after n updates."""
    rates = 5 + (np.arange(length) >= 16) + (np.arange(length) >= 32)
    return np.concatenate([[1.0], np.cumprod(1 - 2.0**-rates)])[:length]


def cdf_of(frequencies: np.ndarray) -> np.ndarray:
    p = frequencies / frequencies.sum()
    p = 0.995 * p + 0.005 / TOKENS  # no token is ever ruled out
    return np.round(np.concatenate([[0.0], np.cumsum(p)[:-1]]) * ONE).astype(np.int64)


def fit(traces, is_3d: bool) -> np.ndarray:
    """traces: (volume weight, Trace) pairs of one model kind, traced with the final networks."""
    weighted = [(w / max(1, t.residuals + t.run_counts.sum()), t) for w, t in traces]
    values = np.full(392, 16384, dtype=np.int64)
    uniform = np.arange(TOKENS) * 2048
    for model in range(TOKEN_MODELS):
        groups = [(w, sequences(t.events, TOKEN, model, is_3d)) for w, t in weighted]
        groups = [(w, g) for w, g in groups if g is not None]
        cdf = uniform
        if groups:
            frequencies = np.zeros(TOKENS)
            for w, (matrix, mask) in groups:
                influence = prior_influence(matrix.shape[1])[None, :] * mask
                np.add.at(frequencies, matrix[mask], w * np.broadcast_to(influence, matrix.shape)[mask])
            candidate = cdf_of(frequencies)

            def cost(table):
                return sum(w * token_cost(m, k, table).sum() for w, (m, k) in groups)

            if cost(candidate) < cost(uniform):
                cdf = candidate
        values[model * TOKENS : (model + 1) * TOKENS] = cdf
    for kind, count, at in ((SIGN, SIGN_CONTEXTS, 320), (RUN, RUN_CONTEXTS, 388)):
        for context in range(count):
            if kind == RUN and (context >= 2) != is_3d:
                continue  # the other kind's run contexts stay even
            total = np.zeros(len(BIT_GRID))
            for w, t in weighted:
                g = sequences(t.events, kind, context, is_3d)
                if g is not None:
                    total += w * bit_costs(*g, BIT_GRID).sum(axis=0)
            if total.any():
                values[at + context] = BIT_GRID[np.argmin(total)]
    return values.astype(np.uint16)
