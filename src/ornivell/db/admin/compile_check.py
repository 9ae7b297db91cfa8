"""SQL written into the metadata (a row rule and its join, a joined
table's join, a model's SQL, where and orderBy, a property's column
expression) compiled on the database before it is stored, so that a typo
is refused when it is made and not by every later search.

Each fragment is put into a statement over the model's tables as the
extension would put it, with its context variables bound as nulls and a
condition that no row meets, and run once: the database parses, resolves
and plans it but reads nothing.
"""

import itertools
import re

from sqlalchemy.exc import DBAPIError

# a context variable, as the extension finds them
_CONTEXT_VARIABLE = re.compile(r"\$\w+\.{0,1}\w+")


class Probe:
    """Statements over one model's tables: its main table (or SQL) and the
    joins its ``_model_table`` rows add (those of tables that exist, as
    the extension drops the others)."""

    def __init__(self, db, model, joins):
        self.db, self.model = db, model
        self.joins = sorted((j for j in joins if db.tables.get(j.table) is not None), key=lambda j: j.order or 0)

    def _main(self):
        if self.model.sql:
            return f"({self.model.sql}) as {self.model.table}"
        return f"{self.db.escape(self.model.table)} {self.db.escape(self.model.alias or self.model.table)}"

    def problem(self, select="1", join="", where=None, order=None, joins=None):
        """The database's message when the statement does not compile, else
        None; ``joins``: how many of the model's joins it has (default all)."""
        model_joins = self.joins if joins is None else self.joins[:joins]
        joined = " ".join(j.join or f"left join {self.db.escape(j.table)}" for j in model_joins)
        sql = f"select {select} from {self._main()} {joined} {join or ''}"
        sql += f" where ({where}) and 1 = 0" if where else " where 1 = 0"
        if order:
            sql += f" order by {order}"
        return compile_problem(self.db, sql)


def compile_problem(db, sql):
    """Runs ``sql`` once with every context variable bound as null; the
    first line of the database's message when it fails, else None."""
    numbers = itertools.count()
    params = {}

    def bind(match):
        name = f"dbplus_context_{next(numbers)}"
        params[name] = None
        return f":{name}"

    try:
        db.query(_CONTEXT_VARIABLE.sub(bind, sql), **params)
    except DBAPIError as error:
        lines = str(error.orig).strip().splitlines()
        return lines[0] if lines else type(error.orig).__name__
    return None


def rule_problem(probe, cond, join=None):
    return probe.problem(join=join, where=cond)


def model_problems(probe):
    """The model's own SQL pieces that do not compile, one sentence each;
    the first that fails, as the later ones build on it."""
    model = probe.model
    if model.sql:
        problem = compile_problem(probe.db, f"select * from ({model.sql}) as dbplus_probe where 1 = 0")
        if problem:
            return [f"the model's SQL does not compile: {problem}"]
    for count, join in enumerate(probe.joins, start=1):
        problem = probe.problem(joins=count)
        if problem:
            return [f"join of {join.table} ({join.join}) does not compile: {problem}"]
    problems = []
    if model.where:
        problem = probe.problem(where=model.where)
        problems += [f"the model's where ({model.where}) does not compile: {problem}"] if problem else []
    if model.orderBy:
        problem = probe.problem(order=model.orderBy)
        problems += [f"the model's orderBy ({model.orderBy}) does not compile: {problem}"] if problem else []
    return problems


def expression_problem(probe, expression):
    return probe.problem(select=expression)
