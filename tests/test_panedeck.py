"""The viewer deck: numbering, the viewer classes, failures and closing tabs."""

import pytest
from qtpy.QtWidgets import QTabWidget

from gemlo.widgets.chartpane import ChartPane
from gemlo.widgets.panedeck import DIM_CODE, LIB_CODE, PaneDeck
from gemlo.widgets.vispy_image import VispyImage
from gemlo.widgets.vispy_volume import VispyVolume


@pytest.fixture
def deck(qtbot):
    deck = PaneDeck()
    qtbot.addWidget(deck)
    return deck


def labels(deck):
    return [deck.tabText(i) for i in range(deck.count())]


def test_tables_and_a_new_deck():
    assert LIB_CODE == {"vispy": "vs", "pyqtgraph": "pg"}
    assert DIM_CODE == {1: "plot", 2: "image", 3: "volume"}


def test_viewers_are_numbered_and_made_current(deck):
    assert isinstance(deck, QTabWidget) and deck.tabsClosable() and deck.parent is None
    assert labels(deck) == ["1_vs_volume"] and deck.counter == 1
    assert isinstance(deck.currentWidget(), VispyVolume)
    deck.new_vs_plot()
    pane = deck.currentWidget()
    assert isinstance(pane, ChartPane) and pane.base._name == "2_vs_plot" and pane.parent is deck
    deck.new_vs_image()
    assert isinstance(deck.currentWidget(), VispyImage) and deck.currentIndex() == 2
    assert labels(deck) == ["1_vs_volume", "2_vs_plot", "3_vs_image"]
    assert deck.currentWidget()._name == "3_vs_image"


@pytest.mark.parametrize(
    "request_, error, message",
    [
        (lambda d: d.new_pg_volume(), ValueError, "Unknown library pyqtgraph"),
        (lambda d: d.new_viewer(dim=4), KeyError, "4"),
        (lambda d: d.new_viewer(lib="matplotlib", dim=1), KeyError, "matplotlib"),
    ],
)
def test_a_failed_request_adds_no_tab_but_uses_its_number(deck, request_, error, message):
    with pytest.raises(error, match=message):
        request_(deck)
    assert labels(deck) == ["1_vs_volume"] and deck.counter == 2
    deck.new_vs_volume()
    assert labels(deck) == ["1_vs_volume", "3_vs_volume"]


def test_closing_tabs_deletes_later_and_numbers_go_on(deck, qtbot):
    deck.new_vs_plot()
    pane = deck.widget(1)
    with qtbot.waitSignal(pane.destroyed, timeout=2000):
        deck.tabCloseRequested.emit(1)
        assert labels(deck) == ["1_vs_volume"]
    deck.close_tab(5)  # no page there: nothing happens
    assert labels(deck) == ["1_vs_volume"]
    deck.close_tab(0)
    assert deck.count() == 0
    deck.new_vs_plot()
    assert labels(deck) == ["3_vs_plot"] and deck.counter == 3


def test_the_viewer_changed_signal_carries_a_dict(deck, qtbot):
    with qtbot.waitSignal(deck.sigCurrentViewerChanged) as blocker:
        deck.sigCurrentViewerChanged.emit({"name": "1_vs_volume"})
    assert blocker.args == [{"name": "1_vs_volume"}]
